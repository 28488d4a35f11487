#include "composedtaskspecification.h"

#include <QtGlobal>

ComposedTaskSpecification::ComposedTaskSpecification(int maxRunning, double share,
                                                     QObject *parent)
    : TaskSpecification(parent, share)
    , m_maxRunning(maxRunning)
    , m_cancelPropagated(false)
    , m_doneReported(false)
{
    if (maxRunning < 1)
        qWarning("ComposedTaskSpecification: limit %d starts no child", maxRunning);
    // Queued so that a child never starts inside the end signal of its predecessor.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubTasks();
}

void ComposedTaskSpecification::addSubTask(TaskSpecification *child)
{
    m_subTasks.append(child);
    m_pendingTasks.append(child);
    connectSignals(child);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::connectSignals(TaskSpecification *child)
{
    connect(child, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(child, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(child, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(child, &TaskSpecification::updateProgress, this,
            &ComposedTaskSpecification::onUpdateProgress);
    connect(child, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, child,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::executeSubTasks()
{
    m_state = TaskRunning;
    // A new run: a task re-armed by a subclass's reset() must be able to end again.
    m_cancelPropagated = false;
    m_doneReported = false;

    const int n = qMax(0, qMin(int(m_pendingTasks.size()), m_maxRunning));
    if (n == 0) {
        reportDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!m_pendingTasks.isEmpty() && !m_cancelPropagated && !m_userCanceled) {
        TaskSpecification *child = m_pendingTasks.takeFirst();
        m_runningTasks.append(child);
        child->execute();
    } else if (m_runningTasks.isEmpty()) {
        reportDone();
    }
}

bool ComposedTaskSpecification::markDone(TaskSpecification *child)
{
    if (m_doneTasks.contains(child) || !m_subTasks.contains(child))
        return false;
    m_runningTasks.removeOne(child);
    m_pendingTasks.removeOne(child);
    m_doneTasks.append(child);
    return true;
}

void ComposedTaskSpecification::reportDone()
{
    if (m_doneReported)
        return;
    m_doneReported = true;
    subtasksDone();
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *child)
{
    if (!markDone(child))
        return;
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *child)
{
    if (!markDone(child))
        return;
    if (!m_cancelPropagated) {
        m_cancelPropagated = true;
        emit otherTaskCancelled(child);
    }
    if (m_runningTasks.isEmpty())
        reportDone();
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    double sum = 0.0;
    for (TaskSpecification *child : std::as_const(m_subTasks))
        sum += child->progress();
    setProgress(sum);
}

TaskSpecification::TaskState ComposedTaskSpecification::getStateFromSubTasks() const
{
    bool anyUserCanceled = false;
    bool allFinished = true;
    for (TaskSpecification *child : m_subTasks) {
        switch (child->state()) {
        case TaskErrorCanceled:
            return TaskErrorCanceled;
        case TaskUserCanceled:
            anyUserCanceled = true;
            allFinished = false;
            break;
        case TaskFinished:
            break;
        default:
            allFinished = false;
            break;
        }
    }
    if (anyUserCanceled)
        return TaskUserCanceled;
    if (allFinished)
        return TaskFinished;
    if (m_userCanceled)
        return TaskUserCanceled;
    if (m_cancelPropagated)
        return TaskErrorCanceled;
    return TaskRunning;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case TaskFinished:
        finish();
        break;
    case TaskUserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::clearSubTasks()
{
    for (TaskSpecification *child : std::as_const(m_subTasks)) {
        disconnect(child, nullptr, this, nullptr);
        disconnect(this, nullptr, child, nullptr);
        child->deleteLater();
    }
    m_subTasks.clear();
    m_pendingTasks.clear();
    m_runningTasks.clear();
    m_doneTasks.clear();
}

void ComposedTaskSpecification::reset()
{
    const QList<TaskSpecification *> children = m_subTasks;
    for (TaskSpecification *child : children)
        child->reset();
    m_pendingTasks = m_subTasks;
    m_runningTasks.clear();
    m_doneTasks.clear();
    m_cancelPropagated = false;
    m_doneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal,
                                         quint64 &speed, bool &downloading)
{
    downloading = false;
    for (TaskSpecification *child : std::as_const(m_subTasks)) {
        quint64 done = 0;
        quint64 total = 0;
        quint64 childSpeed = 0;
        bool childDownloading = false;
        child->timeTick(done, total, childSpeed, childDownloading);
        if (childDownloading)
            downloading = true;
        speed += childSpeed;
        if (total != 0) {
            downloadDone += done;
            downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (m_state != TaskRunning)
        return;
    // A copy: a child ending here may make a subclass rebuild its children.
    const QList<TaskSpecification *> children = m_subTasks;
    for (TaskSpecification *child : children) {
        if (m_subTasks.contains(child))
            child->userCanceled();
    }
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *cancelled)
{
    emit otherTaskCancelled(cancelled);
}
