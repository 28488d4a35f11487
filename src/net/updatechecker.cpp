#include "updatechecker.h"

#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#ifndef CORVANE_UPDATE_SERVER_HOST
#define CORVANE_UPDATE_SERVER_HOST "localhost"
#endif

namespace {
const int VersionsBufferSize = 512;
const int NewsBufferSize = 4096;

struct ServerOverride
{
    bool active = false;
    QByteArray host;
    quint16 port = 0;
    int receiveTimeoutMs = UpdateChecker::DefaultReceiveTimeoutMs;
};

ServerOverride &serverOverride()
{
    static ServerOverride value;
    return value;
}

// Latin-1 text of a datagram: at most limit bytes, ending at the first zero byte.
QString datagramText(const QByteArray &datagram, int limit)
{
    const int size = qMin(datagram.size(), limit);
    return QString::fromLatin1(datagram.constData(), int(qstrnlen(datagram.constData(), size_t(size))));
}

class SocketCloser
{
public:
    explicit SocketCloser(int fd) : m_fd(fd) {}
    ~SocketCloser() { ::close(m_fd); }
    SocketCloser(const SocketCloser &) = delete;
    SocketCloser &operator=(const SocketCloser &) = delete;

private:
    int m_fd;
};

bool sendRequest(int fd, const sockaddr_in &address, char request)
{
    const char datagram[2] = {request, '\0'};
    ssize_t sent;
    do {
        sent = ::sendto(fd, datagram, sizeof datagram, 0,
                        reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    return sent >= 1;
}

// One datagram, at most bufferSize - 1 bytes of it; false on error or time-out.
bool receiveReply(int fd, int bufferSize, QByteArray &reply)
{
    reply.resize(bufferSize);
    ssize_t received;
    do {
        received = ::recv(fd, reply.data(), size_t(bufferSize - 1), 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return false;
    reply.resize(int(received));
    return true;
}
}

UpdateChecker::UpdateChecker()
    : m_host(serverHost())
    , m_port(serverPort())
    , m_receiveTimeoutMs(receiveTimeoutMs())
{
}

UpdateChecker::UpdateChecker(const QByteArray &host, quint16 port)
    : m_host(host)
    , m_port(port)
    , m_receiveTimeoutMs(receiveTimeoutMs())
{
}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return false;
    SocketCloser closer(fd);

    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *results = nullptr;
    if (::getaddrinfo(m_host.constData(), nullptr, &hints, &results) != 0 || !results)
        return false;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    std::memcpy(&address, results->ai_addr, qMin(sizeof address, size_t(results->ai_addrlen)));
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    ::freeaddrinfo(results);

    if (!sendRequest(fd, address, '3'))
        return false;

    // A zero time value would mean "wait forever".
    const int timeoutMs = qMax(1, m_receiveTimeoutMs);
    timeval timeout;
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_usec = (timeoutMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    QByteArray reply;
    if (!receiveReply(fd, VersionsBufferSize, reply))
        return false;
    m_channelVersions += parseVersionReply(reply);

    if (!sendRequest(fd, address, '*'))
        return false;
    if (!receiveReply(fd, NewsBufferSize, reply))
        return false;
    m_newsText = parseNewsReply(reply);
    return true;
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    const int index = int(channel);
    if (index < 0 || index >= m_channelVersions.size())
        return qMakePair(QString(), QString());
    return m_channelVersions.at(index);
}

QList<QPair<QString, QString> > UpdateChecker::parseVersionReply(const QByteArray &datagram)
{
    QList<QPair<QString, QString> > entries;
    const QStringList parts = datagramText(datagram, VersionsBufferSize - 1).split(QLatin1Char(','));
    for (const QString &part : parts) {
        const int hash = part.indexOf(QLatin1Char('#'));
        if (hash < 0)
            entries.append(qMakePair(part, QString()));
        else
            entries.append(qMakePair(part.left(hash), part.mid(hash + 1)));
    }
    return entries;
}

QString UpdateChecker::parseNewsReply(const QByteArray &datagram)
{
    return datagramText(datagram, NewsBufferSize - 1);
}

QByteArray UpdateChecker::serverHost()
{
    return serverOverride().active ? serverOverride().host : QByteArray(CORVANE_UPDATE_SERVER_HOST);
}

quint16 UpdateChecker::serverPort()
{
    return serverOverride().active ? serverOverride().port : DefaultPort;
}

int UpdateChecker::receiveTimeoutMs()
{
    return serverOverride().active ? serverOverride().receiveTimeoutMs : DefaultReceiveTimeoutMs;
}

void UpdateChecker::setServerOverride(const QByteArray &host, quint16 port, int receiveTimeoutMs)
{
    ServerOverride &value = serverOverride();
    value.active = true;
    value.host = host;
    value.port = port;
    value.receiveTimeoutMs = receiveTimeoutMs;
}

void UpdateChecker::clearServerOverride()
{
    serverOverride() = ServerOverride();
}
