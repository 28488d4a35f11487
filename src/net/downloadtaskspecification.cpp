#include "downloadtaskspecification.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                                     const QString &remotePath, const QString &localFile,
                                                     qint64 expectedSize, QObject *parent, double progressShare)
    : TaskSpecification(parent, progressShare)
    , m_manager(manager)
    , m_mirrorPool(mirrors)
    , m_reply(nullptr)
    , m_idleTicks(0)
    , m_remotePath(remotePath)
    , m_file(localFile)
    , m_lastTickBytes(0)
    , m_bytesTotal(expectedSize)
    , m_initialBytesTotal(expectedSize)
    , m_bytesReceived(0)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    dropReply();
}

void DownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Downloading %1").arg(m_remotePath));
    m_state = TaskRunning;
    startDownload();
}

QString DownloadTaskSpecification::attemptAddress() const
{
    return m_mirrorData.url + QLatin1Char('/') + m_remotePath;
}

void DownloadTaskSpecification::startDownload()
{
    switch (m_mirrorPool->getRandomMirror(m_mirrorData)) {
    case 0:
        break;
    case 2:
        // Every mirror is busy: try again once any request of the run has ended. Queued,
        // so the transfer that ended has given its mirror back by then.
        connect(m_manager, &QNetworkAccessManager::finished, this,
                &DownloadTaskSpecification::onOtherDownloadFinished,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
        return;
    default:
        // The pool has said so in the log, once for the whole run.
        errorCancel();
        return;
    }

    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(m_file.fileName()));
        m_mirrorPool->releaseMirror(m_mirrorData.name);
        m_mirrorData.name = QString();
        errorCancel();
        return;
    }

    QNetworkRequest request{ QUrl(attemptAddress()) };
    // A mirror that redirects is a broken mirror; its status is judged like any other.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    m_reply = m_manager->get(request);
    if (!m_reply) {
        emit error(QStringLiteral("Download failed to initialize"));
        m_file.close();
        m_file.remove();
        m_mirrorPool->releaseMirror(m_mirrorData.name);
        m_mirrorData.name = QString();
        errorCancel();
        return;
    }
    // Some replies (local files) are complete at once and report through queued signals;
    // only one that ended with an error is a failed attempt here.
    if (!m_reply->isRunning() && m_reply->error() != QNetworkReply::NoError) {
        errorRetry(m_reply->errorString());
        return;
    }
    // Back-pressure: when the disk is slower than the network, the reply stops reading from
    // the socket instead of holding the rest of the body in memory.
    m_reply->setReadBufferSize(ReadBufferSize);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_reply)
        return;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    bool ok = false;
    int code = status.toInt(&ok);
    if (ok && code == 200)
        return;
    if (!ok)
        code = 0;
    m_mirrorPool->removeMirror(m_mirrorData.name);
    errorRetry(QStringLiteral("%1 returned %2").arg(attemptAddress(), QString::number(code)));
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (bytesTotal > 0 && m_bytesTotal == -1)
        m_bytesTotal = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    readData();
}

bool DownloadTaskSpecification::readData()
{
    // The expected size is a promise from the signed product list; a mirror sending more
    // is broken or hostile and must not fill the disk. Without a promise, a fixed cap.
    const qint64 limit = m_initialBytesTotal > 0 ? m_initialBytesTotal : UnknownSizeLimit;
    char buffer[ChunkSize];
    while (m_reply) {
        m_idleTicks = 0;
        const qint64 available = m_reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 got = m_reply->read(buffer, qMin(available, ChunkSize));
        if (got < 0)
            return !errorRetry(m_reply->errorString());
        if (got == 0)
            return true;
        if (m_bytesReceived + got > limit)
            return !errorRetry(QStringLiteral("file %1 on mirror %2 is larger than expected")
                                   .arg(m_remotePath, m_mirrorData.name));
        const qint64 written = m_file.write(buffer, got);
        if (written < 0)
            return !errorRetry(m_file.errorString());
        if (written != got)
            return !errorRetry(QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                                   .arg(m_file.fileName(), QString::number(got), QString::number(written)));
        m_bytesReceived += got;
        if (m_bytesTotal > 0)
            setProgress(qMin(1.0, double(m_bytesReceived) / double(m_bytesTotal)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_reply)
        return;
    if (m_reply->error() != QNetworkReply::NoError) {
        const QString reason = m_reply->errorString();
        if (m_reply->error() == QNetworkReply::AuthenticationRequiredError) {
            m_mirrorPool->removeMirror(m_mirrorData.name);
            m_reply->close();
        }
        errorRetry(reason);
        return;
    }
    if (!readData())
        return;
    // The last buffered bytes reach the disk here; a failure now would otherwise pass as success.
    if (!m_file.flush()) {
        errorRetry(m_file.errorString());
        return;
    }
    m_reply->close();
    dropReply();
    m_file.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(QStringLiteral("Downloading %1 finished").arg(m_remotePath));
    m_mirrorPool->releaseMirror(m_mirrorData.name);
    finish();
}

bool DownloadTaskSpecification::errorRetry(QString text)
{
    m_mirrorPool->addMirrorError(m_mirrorData.name);
    resetDownload();
    emit message(text);
    startDownload();
    return true;
}

void DownloadTaskSpecification::dropReply()
{
    if (!m_reply)
        return;
    m_reply->disconnect(this);
    // Aborting ends the request now (an endless body would otherwise keep flowing until the
    // deletion) and makes the manager report it finished, which is what wakes transfers
    // waiting for a mirror; a reply merely deleted never reports, and they would wait forever.
    m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}

void DownloadTaskSpecification::stopWaitingForMirror()
{
    disconnect(m_manager, &QNetworkAccessManager::finished, this,
               &DownloadTaskSpecification::onOtherDownloadFinished);
}

void DownloadTaskSpecification::resetDownload()
{
    m_mirrorPool->releaseMirror(m_mirrorData.name);
    if (!m_mirrorData.name.isNull())
        m_mirrorData.name = QString();
    dropReply();
    stopWaitingForMirror();
    m_idleTicks = 0;
    if (m_file.isOpen()) {
        m_file.close();
        m_file.remove();
    }
    m_lastTickBytes = 0;
    m_bytesReceived = 0;
    m_bytesTotal = m_initialBytesTotal;
    setProgress(0.0);
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (m_state != TaskRunning)
        return;
    resetDownload();
    m_state = TaskUserCanceled;
    userCancel();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
    if (m_reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(m_remotePath));
        resetDownload();
    }
    stopWaitingForMirror();
    errorCancel();
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply *)
{
    stopWaitingForMirror();
    // A wake-up already queued may arrive after the transfer was cancelled or reset.
    if (!m_reply && m_state == TaskRunning)
        startDownload();
}

void DownloadTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                         bool &downloading)
{
    downloadDone = quint64(m_bytesReceived);
    downloadTotal = m_bytesTotal < 0 ? 0 : quint64(m_bytesTotal);
    speed = quint64(m_bytesReceived - m_lastTickBytes);
    m_lastTickBytes = m_bytesReceived;

    if (m_state != TaskRunning || !m_reply)
        return;
    ++m_idleTicks;
    if (m_idleTicks <= m_mirrorData.timeout) {
        downloading = true;
        return;
    }
    errorRetry(QStringLiteral("file %1 timed out on mirror %2").arg(m_remotePath, m_mirrorData.name));
}
