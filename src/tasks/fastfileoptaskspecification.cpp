#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &path,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent, double share)
    : TaskSpecification(parent, share)
    , m_rollbackList(rollbackList)
    , m_path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    m_state = TaskRunning;
    if (doOp())
        finish();
    else
        errorCancel();
}

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData &data)
{
    if (m_rollbackList)
        m_rollbackList->add(data);
}
