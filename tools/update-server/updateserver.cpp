#include "updateserver.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUdpSocket>

namespace {
// File time stamps are coarser than the clock; a file changed less than this
// long before it was read may change again without a new time stamp.
const qint64 TimeStampSlackMs = 2000;
}

UpdateServer::UpdateServer(const QString &settingsPath, QObject *parent)
    : QObject(parent)
    , m_settingsPath(settingsPath)
    , m_versionSocket(new QUdpSocket(this))
    , m_bannerSocket(new QUdpSocket(this))
    , m_versionPort(0)
    , m_bannerPort(0)
    , m_verbose(false)
    , m_loaded(false)
    , m_size(-1)
    , m_modified(0)
    , m_changed(0)
    , m_recentRead(false)
    , m_answered(0)
    , m_ignored(0)
    , m_loads(0)
{
    connect(m_versionSocket, &QUdpSocket::readyRead, this, &UpdateServer::onVersionDatagrams);
    connect(m_bannerSocket, &QUdpSocket::readyRead, this, &UpdateServer::onBannerDatagrams);
}

bool UpdateServer::start(const QHostAddress &bindAddress, quint16 versionPort, quint16 bannerPort,
                         QString *error)
{
    if (!load(error))
        return false;
    if (!m_versionSocket->bind(bindAddress, versionPort)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2: %3")
                         .arg(bindAddress.toString()).arg(versionPort).arg(m_versionSocket->errorString());
        return false;
    }
    if (!m_bannerSocket->bind(bindAddress, bannerPort)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2: %3")
                         .arg(bindAddress.toString()).arg(bannerPort).arg(m_bannerSocket->errorString());
        m_versionSocket->close();
        return false;
    }
    m_versionPort = m_versionSocket->localPort();
    m_bannerPort = m_bannerSocket->localPort();
    return true;
}

bool UpdateServer::load(QString *error)
{
    const QFileInfo info(m_settingsPath);
    QFile file(m_settingsPath);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read settings file %1").arg(m_settingsPath);
        return false;
    }
    if (file.size() > MaxSettingsSize) {
        if (error)
            *error = QStringLiteral("settings file %1 is larger than %2 bytes")
                         .arg(m_settingsPath).arg(MaxSettingsSize);
        return false;
    }
    const QByteArray content = file.read(MaxSettingsSize + 1);
    if (content.size() > MaxSettingsSize) {
        if (error)
            *error = QStringLiteral("settings file %1 is larger than %2 bytes")
                         .arg(m_settingsPath).arg(MaxSettingsSize);
        return false;
    }

    const bool sameContent = m_loaded && content == m_content;
    QStringList warnings;
    m_settings = ServerSettings::parse(content, &warnings);
    m_content = content;
    m_loaded = true;
    m_size = info.size();
    m_modified = info.lastModified().toMSecsSinceEpoch();
    m_changed = info.metadataChangeTime().toMSecsSinceEpoch();
    m_recentRead = QDateTime::currentMSecsSinceEpoch() - qMax(m_modified, m_changed) < TimeStampSlackMs;
    ++m_loads;

    if (sameContent)
        return true;
    emit message(QStringLiteral("settings read from %1").arg(m_settingsPath));
    for (const QString &warning : std::as_const(warnings))
        emit message(QStringLiteral("warning: %1: %2").arg(m_settingsPath, warning));
    return true;
}

void UpdateServer::reloadIfChanged()
{
    const QFileInfo info(m_settingsPath);
    if (!info.isFile())
        return;
    const bool changed = !m_loaded || m_recentRead || info.size() != m_size
        || info.lastModified().toMSecsSinceEpoch() != m_modified
        || info.metadataChangeTime().toMSecsSinceEpoch() != m_changed;
    if (!changed)
        return;
    QString error;
    if (!load(&error))
        emit message(QStringLiteral("warning: %1; keeping the settings in force").arg(error));
}

void UpdateServer::onVersionDatagrams()
{
    serve(m_versionSocket, VersionService);
}

void UpdateServer::onBannerDatagrams()
{
    serve(m_bannerSocket, BannerService);
}

void UpdateServer::serve(QUdpSocket *socket, Service service)
{
    while (socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        char buffer[MaxRequestSize];
        QHostAddress sender;
        quint16 senderPort = 0;
        // Reading with a small buffer discards the rest of an oversized datagram.
        const qint64 read = socket->readDatagram(buffer, sizeof(buffer), &sender, &senderPort);
        if (read < 0)
            break;
        if (size > MaxRequestSize || read > MaxRequestSize || senderPort == 0) {
            ++m_ignored;
            continue;
        }
        const QByteArray request(buffer, int(read));
        const QByteArray answer = answerFor(service, request);
        if (answer.isNull()) {
            ++m_ignored;
            if (m_verbose)
                emit message(QStringLiteral("ignored %1 bytes from %2:%3")
                                 .arg(read).arg(sender.toString()).arg(senderPort));
            continue;
        }
        socket->writeDatagram(answer, sender, senderPort);
        ++m_answered;
        if (m_verbose)
            emit message(QStringLiteral("answered %1 bytes to %2:%3")
                             .arg(answer.size()).arg(sender.toString()).arg(senderPort));
    }
}

QByteArray UpdateServer::answerFor(Service service, const QByteArray &request)
{
    if (service == VersionService) {
        if (request == QByteArray("3", 2) || request == QByteArray("3")) {
            reloadIfChanged();
            return m_settings.versionsReply();
        }
        if (request == QByteArray("*", 2) || request == QByteArray("*")) {
            reloadIfChanged();
            return m_settings.newsReply();
        }
        return QByteArray();
    }
    if (request == QByteArray("\x01\x01", 2)) {
        reloadIfChanged();
        const QByteArray reply = m_settings.bannerReply();
        // No banner configured: stay silent (null marks "ignored" above).
        return reply.isEmpty() ? QByteArray() : reply;
    }
    return QByteArray();
}
