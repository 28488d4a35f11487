#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, double share)
    : QObject(parent)
    , m_userCanceled(false)
    , m_parentProgressRange(share)
    , m_progress(0.0)
    , m_state(TaskIdle)
{
}

void TaskSpecification::setParentProgressRange(double share)
{
    m_parentProgressRange = share;
}

void TaskSpecification::setProgress(double fraction)
{
    m_progress = fraction * m_parentProgressRange;
    emit updateProgress(m_progress);
}

void TaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                 bool &downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::reset()
{
    m_userCanceled = false;
    m_state = TaskIdle;
    setProgress(0.0);
}

void TaskSpecification::userCanceled()
{
    m_userCanceled = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
}

void TaskSpecification::finish()
{
    m_state = TaskFinished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel()
{
    m_state = TaskErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    m_state = TaskUserCanceled;
    emit canceled(this);
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *cancelled)
{
    if (cancelled != this && m_state == TaskRunning)
        handleOtherTaskCancelled(cancelled);
}
