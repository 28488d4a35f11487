#ifndef SCRIPTEDTASK_H
#define SCRIPTEDTASK_H

#include "taskspecification.h"

#include <QStringList>

// A leaf task driven by the test. It appends "<id>:start", "<id>:cancelrequest"
// and "<id>:notice" to a shared log so that tests compare whole event orders,
// and ends only when told to (or at once inside execute() if so scripted).
class ScriptedTask : public TaskSpecification
{
    Q_OBJECT
public:
    enum Ending { None, Finish, ErrorCancel, UserCancel };

    ScriptedTask(const QString &id, QStringList *log, QObject *parent, double share = 0.0);

    // Ends the task the given way (no state check, like the real endings).
    void end(Ending ending);
    // Sets the state without any signal, for rules that only read states.
    void forceState(TaskState state) { m_state = state; }

    // Ending performed synchronously inside execute(); None waits for end().
    Ending endOnExecute = None;
    // Like an HTTP transfer: a user cancel request stops the task with userCancel().
    bool stopsOnUserCancel = false;
    // Like an HTTP transfer: a sibling's cancel notice aborts it with errorCancel().
    bool abortsOnNotice = false;

    quint64 tickDone = 0;
    quint64 tickTotal = 0;
    quint64 tickSpeed = 0;
    bool tickDownloading = false;

    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;

public slots:
    void execute() override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *cancelled) override;

private:
    QString m_id;
    QStringList *m_log;
};

#endif
