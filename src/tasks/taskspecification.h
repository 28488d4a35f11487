#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

// A unit of work of an update run. Lives in the GUI thread, is started once by
// execute() and ends exactly once, with finished() or canceled(). Tasks form a
// tree: progress and log lines travel up by signals, cancellation travels down
// by calls.
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    enum TaskState {
        TaskIdle = 0,
        TaskRunning = 1,
        TaskFinished = 2,
        TaskErrorCanceled = 3,
        TaskUserCanceled = 4
    };
    Q_ENUM(TaskState)

    // share: the part (0..1) of the parent's progress that this task stands for.
    TaskSpecification(QObject *parent, double share);

    TaskState state() const { return m_state; }
    // Last progress reported, already multiplied by the share.
    double progress() const { return m_progress; }
    double parentProgressRange() const { return m_parentProgressRange; }
    bool isUserCanceled() const { return m_userCanceled; }

    void setParentProgressRange(double share);
    // Stores and emits fraction x share; no clamping, every call emits.
    void setProgress(double fraction);

    // Called once a second from the root down. Writes the bytes moved by this
    // task, the bytes expected (0 while unknown), the bytes moved since the
    // previous call and whether a transfer is under way. The base writes
    // 0, 0, 0 and false.
    virtual void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                          bool &downloading);

    // The three endings. They do not look at the current state; callers that
    // may see a late result guard themselves. The end signal is synchronous:
    // the parent's slots run inside these calls.
    void finish();
    void errorCancel();
    void userCancel();

public slots:
    // Must set TaskRunning before control returns to the event loop and end
    // later with exactly one of finish(), errorCancel(), userCancel().
    virtual void execute() = 0;
    // Re-arms the task for another attempt: TaskIdle, cancel flag cleared,
    // progress 0 (always emitted).
    virtual void reset();
    // The user's cancel request. The base only records it; tasks that can stop
    // early act on it.
    virtual void userCanceled();
    // A sibling of this running task was cancelled.
    virtual void handleOtherTaskCancelled(TaskSpecification *cancelled);

signals:
    void finished(TaskSpecification *task);
    // The receiver tells user cancel from failure by the sender's state().
    void canceled(TaskSpecification *task);
    // A text for the user's attention; does not end the task.
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    // Sent by a composed task to its children when one of them was cancelled.
    void otherTaskCancelled(TaskSpecification *task);

protected slots:
    void onOtherTaskCancelled(TaskSpecification *cancelled);

protected:
    bool m_userCanceled;
    double m_parentProgressRange;
    double m_progress;
    TaskState m_state;
};

#endif
