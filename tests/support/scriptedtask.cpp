#include "scriptedtask.h"

ScriptedTask::ScriptedTask(const QString &id, QStringList *log, QObject *parent, double share)
    : TaskSpecification(parent, share)
    , m_id(id)
    , m_log(log)
{
}

void ScriptedTask::end(Ending ending)
{
    switch (ending) {
    case Finish:
        finish();
        break;
    case ErrorCancel:
        errorCancel();
        break;
    case UserCancel:
        userCancel();
        break;
    case None:
        break;
    }
}

void ScriptedTask::execute()
{
    m_state = TaskRunning;
    if (m_log)
        m_log->append(m_id + QStringLiteral(":start"));
    end(endOnExecute);
}

void ScriptedTask::userCanceled()
{
    TaskSpecification::userCanceled();
    if (m_log)
        m_log->append(m_id + QStringLiteral(":cancelrequest"));
    if (stopsOnUserCancel && m_state == TaskRunning)
        userCancel();
}

void ScriptedTask::handleOtherTaskCancelled(TaskSpecification *)
{
    if (m_log)
        m_log->append(m_id + QStringLiteral(":notice"));
    if (abortsOnNotice)
        errorCancel();
}

void ScriptedTask::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                            bool &downloading)
{
    downloadDone = tickDone;
    downloadTotal = tickTotal;
    speed = tickSpeed;
    downloading = tickDownloading;
}
