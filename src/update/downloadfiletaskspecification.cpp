#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "mirrors.h"

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const FileDownloadSpecification &file,
                                                             QNetworkAccessManager *manager, Mirrors *mirrors,
                                                             Configuration *configuration, QObject *parent,
                                                             double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_file(file)
    , m_manager(manager)
    , m_mirrors(mirrors)
    , m_configuration(configuration)
{
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    // Cleared so that the task, executed again, can end again.
    m_cancelPropagated = false;
    m_doneReported = false;
    m_download = nullptr;
    m_released = false;
    m_doneBytes = m_doneTotal = m_pendingSpeed = 0;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                             bool &downloading)
{
    if (!m_released) {
        ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
        return;
    }
    downloadDone = m_doneBytes;
    downloadTotal = m_doneTotal;
    speed = m_pendingSpeed;
    m_pendingSpeed = 0;
    downloading = false;
}

void DownloadFileTaskSpecification::subtasksDone()
{
    // A release of thousands of files would otherwise keep every transfer, with its file
    // object, alive until the run ends.
    if (getStateFromSubTasks() == TaskFinished) {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        ComposedTaskSpecification::timeTick(done, total, speed, downloading);
        m_doneBytes = done;
        m_doneTotal = total;
        m_pendingSpeed = speed;
        m_released = true;
        clearSubTasks();
        m_download = nullptr;
    }
    ComposedTaskSpecification::subtasksDone();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString local = m_configuration->m_tempDir + QLatin1Char('/') + m_file.fileName;
    const QString remote = m_file.section + QLatin1Char('/') + m_file.fileName;
    m_download = new DownloadTaskSpecification(m_manager, m_mirrors, remote, local, qint64(m_file.size), this, 0.8);
    addSubTask(m_download);

    auto *check = new CheckSignatureTaskSpecification(local, m_file.md5, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    m_state = TaskRunning;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *)
{
    if (pass)
        return;
    emit message(QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying").arg(m_file.fileName));
    if (m_download)
        m_mirrors->removeMirror(m_download->mirrorData().name);
    // The check goes on to finish() after this slot; a cancel asked for meanwhile must end
    // the task as cancelled rather than be wiped out by the retry.
    if (m_userCanceled) {
        clearSubTasks();
        m_download = nullptr;
        m_doneReported = true;
        userCancel();
        return;
    }
    reset();
    makeSubtasksAndStart();
}
