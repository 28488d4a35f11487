#include "singleinstancechecker.h"
#include "testdirs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>

class tst_SingleInstanceChecker : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void serverName_data();
    void serverName();
    void serverNameKnownChecksum();
    void secondStartReachesTheFirst();
    void messageEndsAtZeroByte();
    void newConnectionReplacesSilentOne();
    void noListener();
    void staleSocketFileIsReplaced();

private:
    std::unique_ptr<TestDirs> m_dirs;
};

void tst_SingleInstanceChecker::init()
{
    // Local socket files live in the temporary directory, which TestDirs makes private.
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
}

void tst_SingleInstanceChecker::cleanup()
{
    m_dirs.reset();
}

void tst_SingleInstanceChecker::serverName_data()
{
    QTest::addColumn<QString>("exeA");
    QTest::addColumn<QString>("homeA");
    QTest::addColumn<QString>("exeB");
    QTest::addColumn<QString>("homeB");
    QTest::addColumn<bool>("same");

    QTest::newRow("executable paths differing in case")
        << "/opt/Corvane 3/update" << "/home/ann" << "/OPT/corvane 3/UPDATE" << "/home/ann" << true;
    QTest::newRow("different users") << "/opt/corvane/update" << "/home/ann" << "/opt/corvane/update" << "/home/bob"
                                     << false;
    QTest::newRow("homes differing only in case") << "/opt/corvane/update" << "/home/ann"
                                                  << "/opt/corvane/update" << "/home/Ann" << false;
    QTest::newRow("different installations") << "/opt/corvane/update" << "/home/ann"
                                             << "/opt/corvane2/update" << "/home/ann" << false;
    QTest::newRow("slashes and colons are dropped") << "/opt/a:b/update" << "/home/ann"
                                                    << "/optab/update" << "/home:ann" << true;
}

void tst_SingleInstanceChecker::serverName()
{
    QFETCH(QString, exeA);
    QFETCH(QString, homeA);
    QFETCH(QString, exeB);
    QFETCH(QString, homeB);

    const QString a = SingleInstanceChecker::localServerNameFor(exeA, homeA);
    const QString b = SingleInstanceChecker::localServerNameFor(exeB, homeB);
    QVERIFY(QRegularExpression("^CV3ClientUpdate[0-9a-f]{1,4}$").match(a).hasMatch());
    QTEST(a == b, "same");
}

void tst_SingleInstanceChecker::serverNameKnownChecksum()
{
    // CRC-16 of ISO 3309 (X.25) over "123456789" is 0x906e.
    QCOMPARE(SingleInstanceChecker::localServerNameFor("/1234", "/56:789"), QString("CV3ClientUpdate906e"));
    QCOMPARE(SingleInstanceChecker::getLocalServerName(),
             SingleInstanceChecker::localServerNameFor(QCoreApplication::applicationFilePath(), QDir::homePath()));
}

void tst_SingleInstanceChecker::secondStartReachesTheFirst()
{
    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);

    QVERIFY(SingleInstanceChecker::checkExistingInstance("#"));
    QVERIFY(activated.wait(5000));
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.at(0).at(0).toString(), QString("#"));

    // The listener serves later starts as well.
    QVERIFY(SingleInstanceChecker::checkExistingInstance("#"));
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 2, 5000);
}

void tst_SingleInstanceChecker::messageEndsAtZeroByte()
{
    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);

    QLocalSocket client;
    client.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(client.waitForConnected(5000));
    client.write(QByteArray("ab\0cd", 5));
    QVERIFY(client.waitForBytesWritten(5000));

    QVERIFY(activated.wait(5000));
    QCOMPARE(activated.at(0).at(0).toString(), QString("ab"));
    // The listener closes the connection once it has the message.
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 5000);
}

void tst_SingleInstanceChecker::newConnectionReplacesSilentOne()
{
    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);

    QLocalSocket silent;
    silent.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(silent.waitForConnected(5000));
    // Accepted but sending nothing: awaited, no signal, still open.
    QTRY_VERIFY_WITH_TIMEOUT(!listener.findChildren<QLocalSocket *>().isEmpty(), 5000);
    QCOMPARE(silent.state(), QLocalSocket::ConnectedState);
    QCOMPARE(activated.count(), 0);

    QLocalSocket second;
    second.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(second.waitForConnected(5000));
    // The silent connection is dropped; whatever it sends later is never seen.
    QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QLocalSocket::UnconnectedState, 5000);
    second.write("x");
    QVERIFY(activated.wait(5000));
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.at(0).at(0).toString(), QString("x"));
}

void tst_SingleInstanceChecker::noListener()
{
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!SingleInstanceChecker::checkExistingInstance("#"));
    QVERIFY(timer.elapsed() < 2500);
}

void tst_SingleInstanceChecker::staleSocketFileIsReplaced()
{
    // What a copy that was killed leaves behind: a bound socket file nobody listens on.
    const QString name = SingleInstanceChecker::getLocalServerName();
    const QByteArray path = QFile::encodeName(QDir::tempPath() + "/" + name);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(path.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
    QVERIFY(QFile::exists(QString::fromLocal8Bit(path)));

    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance("#"));
    QVERIFY(activated.wait(5000));
    QCOMPARE(activated.at(0).at(0).toString(), QString("#"));
}

QTEST_MAIN(tst_SingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
