#include "slowfileoptaskspecification.h"

#include <utility>

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &destination)
    : m_source(source)
    , m_destination(destination)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(QString failMessage,
                                                 RollbackDataList *rollbackList,
                                                 const QString &source,
                                                 const QString &destination, QObject *parent,
                                                 double share)
    : ASyncTaskSpecification(parent, share)
    , m_rollbackList(rollbackList)
    , m_source(source)
    , m_destination(destination)
    , m_failMessage(std::move(failMessage))
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(m_failMessage);
    else if (m_rollbackList)
        m_rollbackList->add(RollbackData(RollbackData::CreateFile, m_destination));
    ASyncTaskSpecification::runDone(ok);
}
