#include "banner.h"

#include <QTimerEvent>

#ifndef CORVANE_UPDATE_SERVER_HOST
#define CORVANE_UPDATE_SERVER_HOST "localhost"
#endif

QString BANNER_SERVER = QStringLiteral(CORVANE_UPDATE_SERVER_HOST);
quint16 BANNER_PORT = 2009;

static const char request[2] = {0x01, 0x01};

Banner::Banner(QObject *parent)
    : QObject(parent)
    , m_socket(new QUdpSocket(this))
    , m_tries(0)
    , m_retryInterval(5000)
{
    m_socket->bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    connect(m_socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    QHostInfo::lookupHost(BANNER_SERVER, this, &Banner::onResolved);
}

void Banner::sendRequest()
{
    if (m_socket->writeDatagram(request, sizeof(request), m_address, BANNER_PORT) == -1)
        m_timer.stop();
    else
        m_timer.start(m_retryInterval, this);
}

bool Banner::parseReply(const QByteArray &datagram, QString *bannerUrl, QString *clickUrl)
{
    const QString text = QString::fromLatin1(datagram.left(MaxReplySize));
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2)
        return false;
    if (bannerUrl)
        *bannerUrl = parts.at(0);
    if (clickUrl)
        *clickUrl = parts.at(1);
    return true;
}

void Banner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_timer.timerId()) {
        const qint32 tries = m_tries++;
        if (tries <= 0)
            sendRequest();
        else
            m_timer.stop();
    }
    QObject::timerEvent(event);
}

void Banner::onResolved(QHostInfo hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;

    m_address.clear();
    const QList<QHostAddress> addresses = hostInfo.addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_address = address;
            break;
        }
    }
    if (!m_address.isNull())
        sendRequest();
}

void Banner::onReadyRead()
{
    m_timer.stop();

    char buffer[MaxReplySize];
    const qint64 size = m_socket->readDatagram(buffer, sizeof(buffer));
    if (size < 0)
        return;

    QString bannerUrl;
    QString clickUrl;
    if (parseReply(QByteArray(buffer, int(size)), &bannerUrl, &clickUrl))
        emit bannerFound(bannerUrl, clickUrl);
}

void Banner::onError(QAbstractSocket::SocketError socketError)
{
    Q_UNUSED(socketError);
    m_timer.stop();
}
