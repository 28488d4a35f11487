#include "filecopytaskspecification.h"

#include <QFile>

FileCopyFunc::FileCopyFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileCopyFunc::run()
{
    return QFile::copy(m_source, m_destination);
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollbackList,
                                                     const QString &source,
                                                     const QString &destination,
                                                     QObject *parent, double share)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(source, destination),
                              rollbackList, source, destination, parent, share)
{
}

ASyncFunc *FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(m_source, m_destination);
}
