#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
const int WaitMs = 1000;
// Long enough for a live listener on the same machine to accept.
const int StaleProbeMs = 200;

// A copy that ended abnormally leaves its socket file behind, and listen()
// then fails for every later copy. Only a name nobody answers on is cleared.
bool isStaleServer(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    if (probe.waitForConnected(StaleProbeMs)) {
        probe.abort();
        return false;
    }
    return probe.error() == QLocalSocket::ConnectionRefusedError;
}
}

SingleInstanceChecker::SingleInstanceChecker(QObject *parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
    , m_connection(nullptr)
{
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    const QString name = getLocalServerName();
    if (!m_server->listen(name) && m_server->serverError() == QAbstractSocket::AddressInUseError
        && isStaleServer(name)) {
        QLocalServer::removeServer(name);
        m_server->listen(name);
    }
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_server->close();
    if (m_connection) {
        m_connection->close();
        delete m_connection;
        m_connection = nullptr;
    }
}

bool SingleInstanceChecker::checkExistingInstance(const QString &message)
{
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(WaitMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(WaitMs);
}

QString SingleInstanceChecker::getLocalServerName()
{
    return localServerNameFor(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::localServerNameFor(const QString &executablePath, const QString &homePath)
{
    QString key = executablePath.toLower() + homePath;
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const quint16 checksum = qChecksum(key.toUtf8(), Qt::ChecksumIso3309);
    return QStringLiteral("CV3ClientUpdate") + QString::number(checksum, 16);
}

void SingleInstanceChecker::onNewConnection()
{
    if (m_connection) {
        m_connection->disconnect(this);
        m_connection->close();
        m_connection->deleteLater();
        m_connection = nullptr;
    }
    QLocalSocket *connection = m_server->nextPendingConnection();
    if (!connection)
        return;
    m_connection = connection;
    connect(m_connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!m_connection)
        return;
    // Only the connection still awaited counts; a replaced one may still deliver.
    if (sender() && sender() != m_connection)
        return;
    const QByteArray bytes = m_connection->readAll();
    const int end = bytes.indexOf('\0');
    const QString message = QString::fromLatin1(end < 0 ? bytes : bytes.left(end));
    QLocalSocket *connection = m_connection;
    m_connection = nullptr;
    emit otherInstanceActivate(message);
    connection->disconnect(this);
    connection->close();
    // Still inside the connection's own readyRead.
    connection->deleteLater();
}
