#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <QFileInfo>

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                                           Configuration *configuration, QObject *parent,
                                                           double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_manager(manager)
    , m_mirrors(mirrors)
    , m_configuration(configuration)
{
}

void IniDownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    // Cleared so that the task, executed again, can end again.
    m_cancelPropagated = false;
    m_doneReported = false;
    m_failedChecks = 0;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString name = m_configuration->m_clientType + QStringLiteral(".ini");
    const QString local = m_configuration->m_tempDir + QLatin1Char('/') + name;
    const QString sigName = name + QStringLiteral(".sig");
    const QString sigLocal = local + QStringLiteral(".sig");

    // Files left by an interrupted session are reused once; after a failed check both come fresh.
    double checkWeight = 1.0;
    if (m_failedChecks >= 1 || !QFileInfo::exists(local)) {
        addSubTask(new DownloadTaskSpecification(m_manager, m_mirrors, name, local, -1, this, 0.3333));
        checkWeight = 0.6667;
    }
    if (m_failedChecks >= 1 || !QFileInfo::exists(sigLocal)) {
        addSubTask(new DownloadTaskSpecification(m_manager, m_mirrors, sigName, sigLocal, -1, this, 0.3333));
        checkWeight -= 0.3333;
    }

    auto *check = new CheckSignatureTaskSpecification(local, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    m_state = TaskRunning;
    executeSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *)
{
    if (pass)
        return;
    ++m_failedChecks;
    const bool abort = m_failedChecks > 1000;
    emit message(abort ? QStringLiteral("Could not verify the product ini file. Aborting")
                       : QStringLiteral("Could not verify the product ini file. Retrying"));
    clearSubTasks();
    // The check goes on to finish() after this slot. With its children dropped, a stage that
    // ends here must not end a second time when a start request still queued finds none.
    if (abort) {
        m_doneReported = true;
        errorCancel();
        return;
    }
    // A retry would clear the user's cancel request along with the rest of the state.
    if (m_userCanceled) {
        m_doneReported = true;
        userCancel();
        return;
    }
    TaskSpecification::reset();
    makeSubtasksAndStart();
}
