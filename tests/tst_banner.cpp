#include "banner.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

Q_DECLARE_METATYPE(QList<QHostAddress>)

// A banner service on 127.0.0.1 that records every request and answers it
// with a fixed datagram, or stays silent when the answer is empty.
class FakeBannerService : public QObject
{
    Q_OBJECT
public:
    explicit FakeBannerService(const QByteArray &answer = QByteArray())
        : m_answer(answer)
    {
        m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        connect(&m_socket, &QUdpSocket::readyRead, this, &FakeBannerService::onReadyRead);
    }
    quint16 port() const { return m_socket.localPort(); }

    // Sends a datagram to whoever asked last.
    void sendToClient(const QByteArray &datagram)
    {
        m_socket.writeDatagram(datagram, m_clientAddress, m_clientPort);
    }

    QList<QByteArray> requests;
    QList<qint64> requestTimes;

private slots:
    void onReadyRead()
    {
        while (m_socket.hasPendingDatagrams()) {
            QByteArray data(int(m_socket.pendingDatagramSize()), '\0');
            m_socket.readDatagram(data.data(), data.size(), &m_clientAddress, &m_clientPort);
            requests.append(data);
            requestTimes.append(m_clock.elapsed());
            if (!m_answer.isEmpty())
                sendToClient(m_answer);
        }
    }

private:
    QUdpSocket m_socket;
    QByteArray m_answer;
    QHostAddress m_clientAddress;
    quint16 m_clientPort = 0;
    QElapsedTimer m_clock = [] { QElapsedTimer t; t.start(); return t; }();
};

class tst_Banner : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        BANNER_SERVER = QStringLiteral("localhost");
    }

    void parseReply_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("bannerUrl");
        QTest::addColumn<QString>("clickUrl");

        QTest::newRow("two addresses")
            << QByteArray("http://img.example/b.png,http://www.example/")
            << true << "http://img.example/b.png" << "http://www.example/";
        QTest::newRow("spaces kept")
            << QByteArray(" http://a/b.png , http://c/ ") << true << " http://a/b.png " << " http://c/ ";
        QTest::newRow("leading comma: no picture")
            << QByteArray(",http://c/") << true << "" << "http://c/";
        QTest::newRow("trailing comma: no click address")
            << QByteArray("http://a/b.png,") << true << "http://a/b.png" << "";
        QTest::newRow("only a comma") << QByteArray(",") << true << "" << "";
        QTest::newRow("no comma") << QByteArray("http://a/b.png") << false << "" << "";
        QTest::newRow("two commas") << QByteArray("a,b,c") << false << "" << "";
        QTest::newRow("empty") << QByteArray() << false << "" << "";
        QTest::newRow("bytes read as Latin-1")
            << QByteArray("http://a/\xe9.png,http://b/\xff") << true
            << QString::fromUtf8("http://a/\xc3\xa9.png") << QString::fromUtf8("http://b/\xc3\xbf");
        QTest::newRow("zero byte is part of the text")
            << QByteArray("a\0b,c", 5) << true << QString::fromLatin1("a\0b", 3) << "c";
        QTest::newRow("second comma beyond 1024 bytes does not count")
            << QByteArray("a," + QByteArray(1100, 'x') + ",tail") << true << "a" << QString(1022, 'x');
        QTest::newRow("only comma beyond 1024 bytes does not count")
            << QByteArray(QByteArray(1024, 'x') + ",b") << false << "" << "";
    }

    void parseReply()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, found);
        QString bannerUrl;
        QString clickUrl;
        QCOMPARE(Banner::parseReply(datagram, &bannerUrl, &clickUrl), found);
        if (found) {
            QTEST(bannerUrl, "bannerUrl");
            QTEST(clickUrl, "clickUrl");
        }
    }

    // Whatever the service answers, the answer ends the query: no further request.
    void answerEndsQuery_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("bannerUrl");
        QTest::addColumn<QString>("clickUrl");

        QTest::newRow("two addresses") << QByteArray("http://127.0.0.1/b.png,http://127.0.0.1/")
                                       << true << "http://127.0.0.1/b.png" << "http://127.0.0.1/";
        QTest::newRow("leading comma") << QByteArray(",http://127.0.0.1/") << true << ""
                                       << "http://127.0.0.1/";
        QTest::newRow("no comma") << QByteArray("http://127.0.0.1/b.png") << false << "" << "";
        QTest::newRow("two commas") << QByteArray("a,b,c") << false << "" << "";
        QTest::newRow("oversized, comma early")
            << QByteArray("p," + QByteArray(4000, 'y')) << true << "p" << QString(1022, 'y');
    }

    void answerEndsQuery()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, found);

        FakeBannerService service(answer);
        BANNER_PORT = service.port();
        Banner banner;
        banner.setRetryInterval(200);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();

        QTRY_VERIFY_WITH_TIMEOUT(!service.requests.isEmpty(), 5000);
        QCOMPARE(service.requests.first(), QByteArray("\x01\x01", 2));
        if (found) {
            QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
            QFETCH(QString, bannerUrl);
            QFETCH(QString, clickUrl);
            QCOMPARE(spy.at(0).at(0).toString(), bannerUrl);
            QCOMPARE(spy.at(0).at(1).toString(), clickUrl);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!banner.isWaiting(), 5000);
            QCOMPARE(spy.count(), 0);
        }
        // The timer is the only thing that sends again; once it is stopped, nothing follows.
        QVERIFY(!banner.isWaiting());
        QCOMPARE(service.requests.size(), 1);
    }

    void silentServiceGetsTwoRequestsThenGivesUp()
    {
        const int interval = 150;
        FakeBannerService service;
        BANNER_PORT = service.port();
        Banner banner;
        banner.setRetryInterval(interval);
        QSignalSpy spy(&banner, &Banner::bannerFound);

        QElapsedTimer clock;
        clock.start();
        banner.run();
        QTRY_COMPARE_WITH_TIMEOUT(service.requests.size(), 2, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!banner.isWaiting(), 5000);
        const qint64 gaveUpAfter = clock.elapsed();

        QCOMPARE(service.requests.size(), 2);
        QCOMPARE(service.requests.at(1), QByteArray("\x01\x01", 2));
        QVERIFY2(service.requestTimes.at(1) - service.requestTimes.at(0) >= interval - 20,
                 qPrintable(QString::number(service.requestTimes.at(1) - service.requestTimes.at(0))));
        QVERIFY(gaveUpAfter >= 2 * interval - 20);
        QCOMPARE(spy.count(), 0);

        // A late answer is still taken while the banner exists.
        service.sendToClient("http://127.0.0.1/late.png,http://127.0.0.1/late");
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("http://127.0.0.1/late.png"));
        QCOMPARE(service.requests.size(), 2);
    }

    // The service's address is the first IPv4 one the look-up gives, whatever precedes it.
    void resolution_data()
    {
        QTest::addColumn<QList<QHostAddress>>("addresses");
        QTest::addColumn<bool>("error");
        QTest::addColumn<bool>("sent");

        const QHostAddress v4(QHostAddress::LocalHost);
        const QHostAddress v6(QHostAddress::LocalHostIPv6);
        QTest::newRow("IPv6 first, IPv4 second") << QList<QHostAddress>{v6, v4} << false << true;
        QTest::newRow("IPv4 only") << QList<QHostAddress>{v4} << false << true;
        QTest::newRow("IPv6 only") << QList<QHostAddress>{v6} << false << false;
        QTest::newRow("no address") << QList<QHostAddress>{} << false << false;
        QTest::newRow("look-up error") << QList<QHostAddress>{v4} << true << false;
    }

    void resolution()
    {
        QFETCH(QList<QHostAddress>, addresses);
        QFETCH(bool, error);
        QFETCH(bool, sent);

        FakeBannerService service("http://127.0.0.1/b.png,http://127.0.0.1/");
        BANNER_PORT = service.port();
        Banner banner;
        QSignalSpy spy(&banner, &Banner::bannerFound);

        QHostInfo info;
        info.setAddresses(addresses);
        if (error) {
            info.setError(QHostInfo::HostNotFound);
            info.setErrorString(QStringLiteral("not found"));
        }
        QVERIFY(QMetaObject::invokeMethod(&banner, "onResolved", Qt::DirectConnection,
                                          Q_ARG(QHostInfo, info)));
        QCOMPARE(banner.isWaiting(), sent);
        if (sent) {
            QVERIFY(spy.wait(5000));
            QCOMPARE(service.requests.size(), 1);
        } else {
            QCOMPARE(service.requests.size(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Banner)
#include "tst_banner.moc"
