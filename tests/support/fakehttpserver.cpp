#include "fakehttpserver.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <sys/socket.h>

namespace {

// Keeps the socket's write buffer small, so endless or huge bodies never pile up in memory.
constexpr qint64 WriteBufferLimit = 256 * 1024;
constexpr qint64 ChunkSize = 64 * 1024;

QByteArray reasonPhrase(int code)
{
    switch (code) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

// One client connection: reads one request head, answers it as the behaviour says.
class FakeHttpConnection : public QObject
{
public:
    enum class Cut { None, Stall, Reset, Truncate };

    FakeHttpConnection(FakeHttpServer *server, QTcpSocket *socket)
        : QObject(server), m_server(server), m_socket(socket), m_trickleTimer(new QTimer(this))
    {
        m_socket->setParent(this);
        // Without it, Nagle's algorithm and the peer's delayed acknowledgements slow big bodies to a crawl.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_trickleTimer->setSingleShot(true);
        connect(m_trickleTimer, &QTimer::timeout, this, [this] { pump(); });
        connect(m_socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(m_socket, &QTcpSocket::bytesWritten, this, [this] { onBytesWritten(); });
        connect(m_socket, &QTcpSocket::disconnected, this, [this] { m_server->connectionGone(this); });
    }

    QTcpSocket *socket() const { return m_socket; }

private:
    void onReadyRead()
    {
        const QByteArray data = m_socket->readAll();
        if (m_headComplete)
            return;
        m_head += data;
        const int end = m_head.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        m_headComplete = true;
        const QList<QByteArray> requestLine = m_head.left(m_head.indexOf("\r\n")).split(' ');
        QByteArray target = requestLine.size() >= 2 ? requestLine.at(1) : QByteArray("/");
        const int query = target.indexOf('?');
        if (query >= 0)
            target.truncate(query);
        const QString path = QUrl::fromPercentEncoding(target);
        m_server->m_requests.append(path);
        emit m_server->requestReceived(path);
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            respond(path);
    }

    void respond(const QString &path)
    {
        m_behaviour = m_server->behaviourFor(path);
        if (m_behaviour.neverAnswer)
            return;

        int status = m_behaviour.statusCode;
        if (m_behaviour.hasBody) {
            m_source = makeBuffer(m_behaviour.body);
        } else if (status == 200) {
            m_source = m_server->openContent(path, this);
            if (!m_source) {
                status = 404;
                m_source = makeBuffer("Not found\n");
            }
        } else {
            m_source = makeBuffer("Status " + QByteArray::number(status) + "\n");
        }

        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
        head += "Content-Type: application/octet-stream\r\n";
        if (m_behaviour.announcedLength >= 0)
            head += "Content-Length: " + QByteArray::number(m_behaviour.announcedLength) + "\r\n";
        else if (!m_behaviour.omitContentLength && !m_behaviour.endless)
            head += "Content-Length: " + QByteArray::number(m_source->size()) + "\r\n";
        if (!m_behaviour.location.isEmpty())
            head += "Location: " + m_behaviour.location + "\r\n";
        if (!m_behaviour.authenticate.isEmpty())
            head += "WWW-Authenticate: " + m_behaviour.authenticate + "\r\n";
        head += "Connection: close\r\n\r\n";
        m_socket->write(head);

        // The earliest cut-off wins if a test sets several.
        const std::pair<qint64, Cut> cuts[] = { { m_behaviour.stallAfterBytes, Cut::Stall },
                                                { m_behaviour.resetAfterBytes, Cut::Reset },
                                                { m_behaviour.truncateAfterBytes, Cut::Truncate } };
        for (const auto &cut : cuts) {
            if (cut.first >= 0 && (m_cutKind == Cut::None || cut.first < m_cutAt)) {
                m_cutAt = cut.first;
                m_cutKind = cut.second;
            }
        }
        m_responding = true;
        pump();
    }

    QIODevice *makeBuffer(const QByteArray &bytes)
    {
        auto *buffer = new QBuffer(this);
        buffer->setData(bytes);
        buffer->open(QIODevice::ReadOnly);
        return buffer;
    }

    void onBytesWritten()
    {
        if (m_resetPending && m_socket->bytesToWrite() == 0) {
            resetNow();
            return;
        }
        pump();
    }

    void pump()
    {
        if (!m_responding || m_done || m_trickleTimer->isActive())
            return;
        while (m_socket->state() == QAbstractSocket::ConnectedState
               && m_socket->bytesToWrite() < WriteBufferLimit) {
            if (m_cutKind != Cut::None && m_sent >= m_cutAt) {
                cut();
                return;
            }
            qint64 chunk = m_behaviour.trickleBytes > 0 ? m_behaviour.trickleBytes : ChunkSize;
            if (m_cutKind != Cut::None)
                chunk = qMin(chunk, m_cutAt - m_sent);
            QByteArray data = m_source->read(chunk);
            if (data.isEmpty()) {
                if (!m_behaviour.endless) {
                    m_done = true;
                    m_socket->disconnectFromHost();
                    return;
                }
                data = QByteArray(int(chunk), 'Z');
            }
            corrupt(data);
            m_socket->write(data);
            m_sent += data.size();
            m_server->m_bodyBytesSent += data.size();
            if (m_behaviour.trickleBytes > 0) {
                m_trickleTimer->start(m_behaviour.trickleIntervalMs);
                return;
            }
        }
    }

    void corrupt(QByteArray &data) const
    {
        if (m_behaviour.corruptOffset < 0)
            return;
        const qint64 from = qMax(m_behaviour.corruptOffset, m_sent);
        const qint64 to = qMin(m_behaviour.corruptOffset + m_behaviour.corruptLength, m_sent + data.size());
        for (qint64 i = from; i < to; ++i)
            data[int(i - m_sent)] = char(~data.at(int(i - m_sent)));
    }

    void cut()
    {
        m_done = true;
        switch (m_cutKind) {
        case Cut::None:
        case Cut::Stall:
            break;
        case Cut::Truncate:
            m_socket->disconnectFromHost();
            break;
        case Cut::Reset:
            // The bytes already written go out first, then the reset.
            m_resetPending = true;
            m_socket->flush();
            if (m_socket->bytesToWrite() == 0)
                resetNow();
            break;
        }
    }

    void resetNow()
    {
        m_resetPending = false;
        const struct linger hard = { 1, 0 };
        ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        m_socket->abort();
    }

    FakeHttpServer *m_server;
    QTcpSocket *m_socket;
    QTimer *m_trickleTimer;
    QByteArray m_head;
    bool m_headComplete = false;
    bool m_responding = false;
    bool m_done = false;
    bool m_resetPending = false;
    FakeHttpServer::Behaviour m_behaviour;
    QIODevice *m_source = nullptr;
    qint64 m_sent = 0;
    qint64 m_cutAt = -1;
    Cut m_cutKind = Cut::None;
};

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::status(int code, const QByteArray &body)
{
    Behaviour b;
    b.statusCode = code;
    if (!body.isNull()) {
        b.hasBody = true;
        b.body = body;
    }
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::redirect(int code, const QByteArray &location)
{
    Behaviour b;
    b.statusCode = code;
    b.location = location;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::authenticationDemand()
{
    Behaviour b;
    b.statusCode = 401;
    b.authenticate = "Basic realm=\"mirror\"";
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::stallAfter(qint64 bytes)
{
    Behaviour b;
    b.stallAfterBytes = bytes;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::resetAfter(qint64 bytes)
{
    Behaviour b;
    b.resetAfterBytes = bytes;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::truncateAfter(qint64 bytes)
{
    Behaviour b;
    b.truncateAfterBytes = bytes;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::corrupt(qint64 offset, qint64 length)
{
    Behaviour b;
    b.corruptOffset = offset;
    b.corruptLength = length;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::trickle(int bytes, int intervalMs)
{
    Behaviour b;
    b.trickleBytes = bytes;
    b.trickleIntervalMs = intervalMs;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::noContentLength()
{
    Behaviour b;
    b.omitContentLength = true;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::endlessData()
{
    Behaviour b;
    b.endless = true;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::silence()
{
    Behaviour b;
    b.neverAnswer = true;
    return b;
}

FakeHttpServer::Behaviour FakeHttpServer::Behaviour::content(const QByteArray &body)
{
    Behaviour b;
    b.hasBody = true;
    b.body = body;
    return b;
}

FakeHttpServer::FakeHttpServer(const QString &rootDir, QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_rootDir(rootDir)
    , m_hasDefaultBehaviour(false)
    , m_bodyBytesSent(0)
{
    connect(m_server, &QTcpServer::newConnection, this, &FakeHttpServer::onNewConnection);
}

FakeHttpServer::~FakeHttpServer()
{
    // Sockets going down must not call back into a server that is half destroyed.
    const QList<FakeHttpConnection *> connections = m_connections;
    m_connections.clear();
    for (FakeHttpConnection *connection : connections) {
        connection->socket()->disconnect();
        connection->socket()->abort();
        delete connection;
    }
}

bool FakeHttpServer::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 FakeHttpServer::port() const
{
    return m_server->serverPort();
}

QString FakeHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void FakeHttpServer::setRootDir(const QString &rootDir)
{
    m_rootDir = rootDir;
}

void FakeHttpServer::setContent(const QString &path, const QByteArray &content)
{
    m_contents.insert(path, content);
}

void FakeHttpServer::setBehaviour(const QString &path, const Behaviour &behaviour)
{
    m_behaviours.insert(path, behaviour);
}

void FakeHttpServer::setDefaultBehaviour(const Behaviour &behaviour)
{
    m_defaultBehaviour = behaviour;
    m_hasDefaultBehaviour = true;
}

void FakeHttpServer::clearBehaviours()
{
    m_behaviours.clear();
    m_defaultBehaviour = Behaviour();
    m_hasDefaultBehaviour = false;
}

int FakeHttpServer::requestCount(const QString &path) const
{
    return int(m_requests.count(path));
}

int FakeHttpServer::totalRequests() const
{
    return int(m_requests.size());
}

QStringList FakeHttpServer::requestedPaths() const
{
    return m_requests;
}

void FakeHttpServer::resetCounts()
{
    m_requests.clear();
    m_bodyBytesSent = 0;
}

int FakeHttpServer::openConnections() const
{
    return int(m_connections.size());
}

qint64 FakeHttpServer::bodyBytesSent() const
{
    return m_bodyBytesSent;
}

void FakeHttpServer::closeAllConnections()
{
    const QList<FakeHttpConnection *> connections = m_connections;
    for (FakeHttpConnection *connection : connections)
        connection->socket()->abort();
}

void FakeHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        m_connections.append(new FakeHttpConnection(this, socket));
}

FakeHttpServer::Behaviour FakeHttpServer::behaviourFor(const QString &path) const
{
    const auto it = m_behaviours.constFind(path);
    if (it != m_behaviours.constEnd())
        return it.value();
    return m_hasDefaultBehaviour ? m_defaultBehaviour : Behaviour();
}

QIODevice *FakeHttpServer::openContent(const QString &path, QObject *owner) const
{
    const auto it = m_contents.constFind(path);
    if (it != m_contents.constEnd()) {
        auto *buffer = new QBuffer(owner);
        buffer->setData(it.value());
        buffer->open(QIODevice::ReadOnly);
        return buffer;
    }
    if (m_rootDir.isEmpty())
        return nullptr;
    // Never serve anything outside the root, whatever the path says.
    const QString relative = QDir::cleanPath(QStringLiteral("/") + path);
    if (relative.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return nullptr;
    auto *file = new QFile(m_rootDir + relative, owner);
    if (!file->open(QIODevice::ReadOnly) || QFileInfo(*file).isDir()) {
        delete file;
        return nullptr;
    }
    return file;
}

void FakeHttpServer::connectionGone(FakeHttpConnection *connection)
{
    if (m_connections.removeOne(connection))
        connection->deleteLater();
}
