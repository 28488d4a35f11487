#ifndef BANNER_H
#define BANNER_H

#include <QBasicTimer>
#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>
#include <QUdpSocket>

// Host name of the banner service (the update server host). Set at program
// start from the build setting; tests point it elsewhere.
extern QString BANNER_SERVER;
// UDP port of the banner service, 2009. Tests use a port chosen by the system.
extern quint16 BANNER_PORT;

// Asks the banner service which picture the window shows and where a click
// on it leads. Sends the request at most twice, 5 s apart, and never reports
// a failure: without an answer there is simply no bannerFound.
class Banner : public QObject
{
    Q_OBJECT
public:
    explicit Banner(QObject *parent = nullptr);

    // Starts the host look-up; the request follows once it resolves.
    void run();
    // Sends the request to m_address and (re)starts the reply time-out.
    void sendRequest();

    // Time between the two tries, 5000 ms; tests shorten it.
    void setRetryInterval(int ms) { m_retryInterval = ms; }
    // True while a reply is awaited.
    bool isWaiting() const { return m_timer.isActive(); }

    // Splits one reply datagram (only its first 1024 bytes count) into the
    // picture and the click address. False unless it holds exactly one ",".
    static bool parseReply(const QByteArray &datagram, QString *bannerUrl, QString *clickUrl);

    static const int MaxReplySize = 1024;

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    QUdpSocket *m_socket;
    QBasicTimer m_timer;
    QHostAddress m_address;
    qint32 m_tries;
    int m_retryInterval;
};

#endif
