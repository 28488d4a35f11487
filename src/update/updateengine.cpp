#include "updateengine.h"

#include "banner.h"
#include "configuration.h"
#include "maintaskspecification.h"
#include "mirrors.h"
#include "tomcryptutil.h"
#include "updateinidata.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {
const char MirrorsFileName[] = "mirrors.ini";
const char UpdateIniFileName[] = "update.ini";
const quint16 DefaultProxyPort = 3128;
}

UpdateEngine::UpdateEngine(Configuration &configuration, QObject *parent)
    : QObject(parent)
    , m_state(EngineIdle)
    , m_configuration(&configuration)
    , m_mirrors(nullptr)
    , m_mainTask(nullptr)
    , m_timer(nullptr)
    , m_networkManager(nullptr)
    , m_bannerReply(nullptr)
{
    connect(m_configuration, &Configuration::message, this, &UpdateEngine::message);

    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    m_networkManager = new QNetworkAccessManager(this);

    m_configuration->getProxyAndDownloadConcurrency();
    const QString proxySpec = m_configuration->m_proxy;
    if (proxySpec.isEmpty()) {
        m_networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    } else {
        const QUrl proxyUrl(proxySpec);
        if (proxyUrl.isValid()) {
            m_networkManager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, proxyUrl.host(),
                                                     quint16(proxyUrl.port(DefaultProxyPort))));
        } else {
            // The owner connects to our signals only after construction, so the
            // report goes out once control is back in the event loop.
            const QString text = QStringLiteral("'%1' is an invalid proxy specification").arg(proxySpec);
            QMetaObject::invokeMethod(this, [this, text]() { emit fatalError(text); }, Qt::QueuedConnection);
        }
    }
}

UpdateEngine::~UpdateEngine()
{
    // Tasks hold replies of the network manager and places in the mirror pool, and
    // both are older children that would go first: a run still going (or a root
    // awaiting its deferred deletion) is released before them.
    const QList<TaskSpecification *> tasks = findChildren<TaskSpecification *>(QString(), Qt::FindDirectChildrenOnly);
    m_mainTask = nullptr;
    qDeleteAll(tasks);
    if (m_bannerReply) {
        disconnect(m_bannerReply, nullptr, this, nullptr);
        delete m_bannerReply;
        m_bannerReply = nullptr;
    }
}

bool UpdateEngine::initialize()
{
    try {
        crypt_init();
    } catch (const crypt_exception &e) {
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }

    const QDir appDir(Configuration::getAppRootPath());
    if (!QFile::exists(appDir.absoluteFilePath(QLatin1String(MirrorsFileName)))) {
        emit fatalError(QStringLiteral("%1 is missing, cannot proceed.").arg(QLatin1String(MirrorsFileName)));
        return false;
    }

    Mirrors::seedRandom(quint32(QDateTime::currentSecsSinceEpoch()));

    int version = 0;
    QString dir;
    if (UpdateIniData::get(&version, nullptr, &dir)) {
        if (version == m_configuration->m_clientVersion) {
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        } else {
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...").arg(version).arg(dir));
            cleanupDirectory(dir);
            QDir parent(dir);
            if (parent.cdUp()) {
                if (parent.rmdir(dir))
                    emit message(QStringLiteral("Ok"));
                else
                    emit message(QStringLiteral("Failed to remove directory"));
            }
            dir.clear();
            UpdateIniData::cleanup();
        }
    }

    if (!m_configuration->initalizeStart(dir))
        return false;

    UpdateIniData::modify(m_configuration->m_clientVersion, m_configuration->m_tempDir,
                          m_configuration->m_clientType);

    // Each preparation builds a fresh pool; an earlier one is no longer used by any task.
    if (m_mirrors)
        m_mirrors->deleteLater();
    m_mirrors = new Mirrors(this);
    connect(m_mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(m_mirrors, &Mirrors::message, this, &UpdateEngine::message);

    bool ok;
    if (m_configuration->m_channel == Alpha)
        ok = m_mirrors->initAlpha(appDir.absoluteFilePath(QLatin1String(UpdateIniFileName)),
                                  m_configuration->m_clientVersion);
    else
        ok = m_mirrors->initDefault(appDir.absoluteFilePath(QLatin1String(MirrorsFileName)),
                                    m_configuration->m_clientVersion);
    if (!ok)
        return false;

    m_state = EngineInitialized;
    return true;
}

bool UpdateEngine::startUpdate()
{
    m_mainTask = new MainTaskSpecification(m_networkManager, m_mirrors, m_configuration, this, 1.0);
    connect(m_mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_mainTask, &TaskSpecification::message, this, &UpdateEngine::message);

    m_state = EngineRunning;
    m_timer->start(1000);
    m_mainTask->execute();
    return true;
}

bool UpdateEngine::busy() const
{
    return m_state == EngineInitialized || m_state == EngineRunning;
}

void UpdateEngine::onTimer()
{
    if (m_state != EngineRunning || !m_mainTask)
        return;
    quint64 downloadDone = 0;
    quint64 downloadTotal = 0;
    quint64 speed = 0;
    bool downloading = false;
    m_mainTask->timeTick(downloadDone, downloadTotal, speed, downloading);
    emit downloadProgress(downloadDone, downloadTotal, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    m_timer->stop();
    cleanup();
    m_state = EngineFinished;
    emit message(QStringLiteral("Update successfully finished"));
    if (m_mainTask) {
        m_mainTask->deleteLater();
        m_mainTask = nullptr;
    }
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    m_timer->stop();
    m_state = EngineCanceled;
    if (m_mainTask && m_mainTask->state() == TaskSpecification::TaskUserCanceled)
        emit message(QStringLiteral("User aborted update"));
    if (m_mainTask) {
        m_mainTask->deleteLater();
        m_mainTask = nullptr;
    }
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::cancelUpdate()
{
    if (m_state == EngineRunning && m_mainTask)
        m_mainTask->userCanceled();
}

void UpdateEngine::reset()
{
    m_state = EngineIdle;
    if (m_mainTask) {
        disconnect(m_mainTask, nullptr, this, nullptr);
        m_mainTask->deleteLater();
        m_mainTask = nullptr;
    }
}

void UpdateEngine::cleanup()
{
    emit message(QStringLiteral("Remove temporary files..."));
    QString dir;
    if (UpdateIniData::get(nullptr, nullptr, &dir)) {
        cleanupDirectory(dir);
        QDir parent(dir);
        if (parent.cdUp())
            parent.rmdir(dir);
        UpdateIniData::cleanup();
    }
    emit message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::cleanupDirectory(const QString &dir)
{
    QDir directory(dir);
    const QDir::Filters common = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    const QStringList files = directory.entryList(QDir::Files | common);
    for (const QString &name : files)
        directory.remove(name);
    const QStringList subDirs = directory.entryList(QDir::Dirs | common);
    for (const QString &name : subDirs) {
        cleanupDirectory(directory.absoluteFilePath(name));
        directory.rmdir(name);
    }
}

void UpdateEngine::removeOldFiles(const QString &dir)
{
    const QDir directory(dir);
    const QString &prefix = Configuration::getSpecialFileRenamePrefix();
    const QStringList names = Configuration::getSpecialFileNames();
    for (const QString &name : names) {
        const QString file = directory.absoluteFilePath(name);
        const QString oldCopy = directory.absoluteFilePath(prefix + name);
        // A run killed between setting the file aside and putting the new one in place
        // leaves only the copy: it goes back under its name, and the next install replaces it.
        if (!QFileInfo::exists(file) && QFileInfo::exists(oldCopy))
            QFile::rename(oldCopy, file);
        else
            QFile::remove(oldCopy);
    }
}

void UpdateEngine::getBanner()
{
    if (m_bannerReply)
        return;
    Banner *banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    const QUrl url(bannerUrl);
    if (bannerUrl.isEmpty() || !url.isValid())
        return;
    // A second answer while a picture is still on its way replaces the first transfer.
    if (m_bannerReply)
        dropBanner();

    m_bannerClickUrl = clickUrl;
    m_bannerData.clear();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    m_bannerReply = m_networkManager->get(request);
    connect(m_bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(m_bannerReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::onBannermetaDataChanged);
    connect(m_bannerReply, &QIODevice::readyRead, this, &UpdateEngine::onBannerReadyRead);
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!m_bannerReply)
        return;
    const QVariant length = m_bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerSize)
        dropBanner();
}

void UpdateEngine::onBannerReadyRead()
{
    if (!m_bannerReply)
        return;
    // Counted as the bytes arrive, so a server that sends no length cannot make us hold an endless picture.
    m_bannerData += m_bannerReply->readAll();
    if (m_bannerData.size() > MaxBannerSize)
        dropBanner();
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!m_bannerReply)
        return;
    m_bannerData += m_bannerReply->readAll();
    m_bannerReply->deleteLater();
    m_bannerReply = nullptr;
    if (m_bannerData.size() > MaxBannerSize) {
        m_bannerData.clear();
        return;
    }
    const QByteArray data = m_bannerData;
    m_bannerData.clear();
    emit bannerFound(data, m_bannerClickUrl);
}

void UpdateEngine::dropBanner()
{
    QNetworkReply *reply = m_bannerReply;
    m_bannerReply = nullptr;
    m_bannerData.clear();
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}
