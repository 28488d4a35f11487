#ifndef UPDATECHECKER_H
#define UPDATECHECKER_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include "configuration.h"

// Asks the update server over UDP for the latest version of each release
// channel and for the news text. Blocking, on the calling thread.
class UpdateChecker
{
public:
    static const quint16 DefaultPort = 17384;
    static const int DefaultReceiveTimeoutMs = 5000;

    // Talks to serverHost() on serverPort().
    UpdateChecker();
    UpdateChecker(const QByteArray &host, quint16 port);

    bool checkUpdate();
    // Both exchanges; true when both replies arrived. Entries of the first reply
    // are appended to m_channelVersions even when the second exchange fails.
    bool readFromServer();
    // The entry for the channel, or two null strings when the reply had none.
    QPair<QString, QString> getClientVersionByChannel(UpdateChannel channel) const;

    // Splits a versions reply as it arrived (at most its first 511 bytes count,
    // the text ends at the first zero byte) into (version, label) pairs.
    static QList<QPair<QString, QString> > parseVersionReply(const QByteArray &datagram);
    // The news text of a news reply (at most its first 4095 bytes count).
    static QString parseNewsReply(const QByteArray &datagram);

    // The build-time server host, unless a test redirected it.
    static QByteArray serverHost();
    static quint16 serverPort();
    static int receiveTimeoutMs();
    // Tests send the default-constructed checker to their own server (and may
    // shorten the wait per reply); the shipped program never calls this.
    static void setServerOverride(const QByteArray &host, quint16 port, int receiveTimeoutMs = DefaultReceiveTimeoutMs);
    static void clearServerOverride();

    QList<QPair<QString, QString> > m_channelVersions;
    QString m_newsText;

private:
    QByteArray m_host;
    quint16 m_port;
    int m_receiveTimeoutMs;
};

#endif
