#include "putinplacetaskspecification.h"

#include <QFile>

#include <cstdio>
#include <unistd.h>

PutInPlaceTaskSpecification::PutInPlaceTaskSpecification(const QString &stagedPath, const QString &path,
                                                         const QString &setAsidePath, bool executable,
                                                         RollbackDataList *rollbackList, QObject *parent,
                                                         double share)
    : FastFileOpTaskSpecification(path, rollbackList, parent, share)
    , m_stagedPath(stagedPath)
    , m_setAsidePath(setAsidePath)
    , m_executable(executable)
{
}

bool PutInPlaceTaskSpecification::renameFailed(const QString &from, const QString &to)
{
    emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(from, to));
    return false;
}

bool PutInPlaceTaskSpecification::doOp()
{
    // A program file arrives with its permissions already set.
    if (m_executable
        && !QFile::setPermissions(m_stagedPath, QFile::permissions(m_stagedPath) | QFileDevice::ExeOwner
                                                    | QFileDevice::ExeUser | QFileDevice::ExeGroup
                                                    | QFileDevice::ExeOther)) {
        emit message(QStringLiteral("Could not make '%1' executable").arg(m_stagedPath));
        return false;
    }

    const QByteArray staged = QFile::encodeName(m_stagedPath);
    const QByteArray path = QFile::encodeName(m_path);
    if (!m_setAsidePath.isEmpty()) {
        const QByteArray aside = QFile::encodeName(m_setAsidePath);
        if (::link(path.constData(), aside.constData()) == 0) {
            if (std::rename(staged.constData(), path.constData()) != 0) {
                ::unlink(aside.constData());
                return renameFailed(m_stagedPath, m_path);
            }
            addRollbackOp(RollbackData(RollbackData::Rename, m_path, m_setAsidePath));
            addRollbackOp(RollbackData(RollbackData::Rename, m_stagedPath, m_path));
            return true;
        }
        if (!QFile::rename(m_path, m_setAsidePath))
            return renameFailed(m_path, m_setAsidePath);
        addRollbackOp(RollbackData(RollbackData::Rename, m_path, m_setAsidePath));
    }
    // Nothing is at the name now (a new file, or one set aside without a hard link).
    if (!QFile::rename(m_stagedPath, m_path))
        return renameFailed(m_stagedPath, m_path);
    addRollbackOp(RollbackData(RollbackData::Rename, m_stagedPath, m_path));
    return true;
}
