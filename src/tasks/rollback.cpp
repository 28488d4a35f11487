#include "rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

RollbackData::RollbackData(Operation operation, const QString &from, const QString &to)
    : path(to)
    , oldPath(from)
    , operation(operation)
{
}

RollbackData::RollbackData(Operation operation, const QString &path)
    : path(path)
    , operation(operation)
{
}

bool RollbackData::rollback(QObject *target) const
{
    switch (operation) {
    case Rename:
        if (QFile::rename(path, oldPath))
            return true;
        message(target, QStringLiteral("warning: rollback rename %1 to %2 failed")
                            .arg(oldPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(target, QStringLiteral("warning: rollback create file %1 failed").arg(path));
        return false;
    case CreateDir:
        // rmdir only removes an empty directory, so nothing inside is ever lost.
        if (QFileInfo(path).dir().rmdir(QDir(path).dirName()))
            return true;
        message(target, QStringLiteral("warning: rollback create dir %1 failed").arg(path));
        return false;
    }
    qFatal("Should not reach here");
    return false;
}

void RollbackData::message(QObject *target, const QString &text)
{
    if (target)
        QMetaObject::invokeMethod(target, "message", Qt::AutoConnection, Q_ARG(QString, text));
}

void RollbackDataList::add(const RollbackData &data)
{
    records.append(data);
}

void RollbackDataList::appendList(const RollbackDataList &other)
{
    records.append(other.records);
}

void RollbackDataList::clear()
{
    records.clear();
}

bool RollbackDataList::rollback(QObject *target)
{
    bool result = true;
    while (!records.isEmpty()) {
        const RollbackData data = records.takeLast();
        if (!data.rollback(target))
            result = false;
    }
    return result;
}
