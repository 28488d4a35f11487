#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QList>

// Owns child tasks and runs them in the order added, at most maxRunning at a
// time. Finishes when every child finished; once a child is cancelled no
// further child starts, the running siblings are told, and the task ends from
// the children's states once none of them runs any more.
//
// Subclasses build their children in execute(), add them with addSubTask()
// (passing this as their QObject parent) and call executeSubTasks().
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // A maxRunning below 1 starts no child: such a task finishes when it has no
    // children and otherwise ends at once with errorCancel().
    ComposedTaskSpecification(int maxRunning, double share, QObject *parent);
    ~ComposedTaskSpecification() override;

    // Adds the children's transfer statistics to the out-values (downloading
    // is cleared first). A child whose total is still 0 adds only its speed.
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;

    void addSubTask(TaskSpecification *child);
    // Starts the children. The starts are queued: children run on later
    // event-loop turns. Without anything to start the task ends right here.
    void executeSubTasks();
    // TaskFinished, TaskErrorCanceled, TaskUserCanceled, or TaskRunning when
    // children were left unstarted without any cancellation.
    TaskState getStateFromSubTasks() const;
    // Disconnects and deleteLater()s every child and empties the lists. Leaves
    // the state alone.
    void clearSubTasks();

    const QList<TaskSpecification *> &subTasks() const { return m_subTasks; }
    int maxRunning() const { return m_maxRunning; }

public slots:
    // Re-runs the same children: resets each of them and makes them all
    // pending again.
    void reset() override;
    // Forwards the request to every child while this task runs.
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *cancelled) override;

protected:
    // Called once per run when nothing runs any more; ends the task according
    // to getStateFromSubTasks(). Overrides act on the outcome, then call this.
    virtual void subtasksDone();
    virtual void connectSignals(TaskSpecification *child);

signals:
    void startNextTask();

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification *child);
    void onSubTaskCanceled(TaskSpecification *child);

private:
    // Moves an ended child to m_doneTasks; false if it had already ended.
    bool markDone(TaskSpecification *child);
    void reportDone();

protected:
    QList<TaskSpecification *> m_subTasks;
    QList<TaskSpecification *> m_pendingTasks;
    QList<TaskSpecification *> m_runningTasks;
    QList<TaskSpecification *> m_doneTasks;
    int m_maxRunning;
    bool m_cancelPropagated;
    bool m_doneReported;
};

#endif
