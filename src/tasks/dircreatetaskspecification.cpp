#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &path,
                                                       RollbackDataList *rollbackList,
                                                       QObject *parent, double share)
    : FastFileOpTaskSpecification(path, rollbackList, parent, share)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(m_path);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString &path)
{
    // A trailing slash or doubled separators would otherwise create the last
    // component twice ("a/b/" → "a/b/b").
    const QString dir = QDir::cleanPath(path);
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                         .arg(dir));
        return false;
    }

    const QDir parent = info.dir();
    if (parent.path() == QLatin1String(".") || QDir(dir).isRoot()) {
        emit message(QStringLiteral("Could not create dir %1").arg(m_path));
        return false;
    }
    if (!parent.exists() && !tryCreateDir(parent.path()))
        return false;

    if (!parent.mkdir(QDir(dir).dirName())) {
        emit message(QStringLiteral("unable to create dir %1").arg(dir));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::CreateDir, dir));
    return true;
}
