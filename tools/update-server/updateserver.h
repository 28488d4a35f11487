#ifndef UPDATESERVER_H
#define UPDATESERVER_H

#include "serversettings.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <atomic>

class QUdpSocket;

// The update server's two datagram services:
//  - versions and news (port 17384): "3" answers the channel versions, "*"
//    the news text (each request may end with one zero byte);
//  - banner (port 2009): 0x01 0x01 answers picture address "," click address.
// Answers go back to the sender. Any other datagram is ignored. The settings
// file is looked at before each answer and read again when it changed.
class UpdateServer : public QObject
{
    Q_OBJECT
public:
    static const quint16 DefaultVersionPort = 17384;
    static const quint16 DefaultBannerPort = 2009;
    // Requests are two bytes; anything much longer is not ours.
    static const int MaxRequestSize = 16;

    explicit UpdateServer(const QString &settingsPath, QObject *parent = nullptr);

    // Reads the settings and binds both sockets (port 0: the system chooses).
    // False with a reason when the settings cannot be read or a port is taken.
    bool start(const QHostAddress &bindAddress, quint16 versionPort, quint16 bannerPort,
               QString *error = nullptr);

    quint16 versionPort() const { return m_versionPort; }
    quint16 bannerPort() const { return m_bannerPort; }

    // Re-reads the settings file if it changed since the last read. A file
    // that is missing or unreadable keeps the settings in force.
    void reloadIfChanged();
    ServerSettings settings() const { return m_settings; }

    // Counters, safe to read from any thread.
    int answeredCount() const { return m_answered; }
    int ignoredCount() const { return m_ignored; }
    int loadCount() const { return m_loads; }

    // Largest settings file read; anything larger is refused.
    static const qint64 MaxSettingsSize = 1024 * 1024;

signals:
    // Settings reloads, warnings and (when verbose) every request, for the log.
    void message(const QString &text);

public:
    void setVerbose(bool verbose) { m_verbose = verbose; }

private slots:
    void onVersionDatagrams();
    void onBannerDatagrams();

private:
    enum Service { VersionService, BannerService };
    void serve(QUdpSocket *socket, Service service);
    QByteArray answerFor(Service service, const QByteArray &request);
    bool load(QString *error);

    QString m_settingsPath;
    ServerSettings m_settings;
    QUdpSocket *m_versionSocket;
    QUdpSocket *m_bannerSocket;
    quint16 m_versionPort;
    quint16 m_bannerPort;
    bool m_verbose;

    // What the file looked like when it was last read.
    bool m_loaded;
    QByteArray m_content;
    qint64 m_size;
    qint64 m_modified;
    qint64 m_changed;
    // The last read happened so soon after the file's last change that a
    // further change could carry the same time stamp: look again next time.
    bool m_recentRead;

    std::atomic<int> m_answered;
    std::atomic<int> m_ignored;
    std::atomic<int> m_loads;
};

#endif
