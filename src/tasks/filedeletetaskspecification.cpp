#include "filedeletetaskspecification.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool reportFailure, const QString &path,
                                                         QObject *parent, double share)
    : FastFileOpTaskSpecification(path, nullptr, parent, share)
    , m_reportFailure(reportFailure)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const bool removed = QFile::remove(m_path);
    if (!m_reportFailure || removed)
        return true;
    emit message(QStringLiteral("Could not delete '%1'").arg(m_path));
    return false;
}
