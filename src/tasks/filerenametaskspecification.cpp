#include "filerenametaskspecification.h"

#include <QFile>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &sourcePath,
                                                         const QString &path,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent, double share)
    : FastFileOpTaskSpecification(path, rollbackList, parent, share)
    , m_sourcePath(sourcePath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    if (!QFile::rename(m_sourcePath, m_path)) {
        emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(m_sourcePath, m_path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, m_sourcePath, m_path));
    return true;
}
