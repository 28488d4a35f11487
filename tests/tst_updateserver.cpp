#include "banner.h"
#include "serversettings.h"
#include "testdirs.h"
#include "updatechecker.h"
#include "updateserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSignalSpy>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>

namespace {

const QByteArray Settings =
    "# test settings\n"
    "[versions]\n"
    "stable = 12\n"
    "stable_label = 3.0.5\n"
    "beta = 13\n"
    "beta_label = 3.1 beta#2\n"
    "alpha =\n"
    "\n"
    "[news]\n"
    "text = New: <a href=\"http://127.0.0.1/news?a=1,b=2\">read more</a>, today\n"
    "\n"
    "[banner]\n"
    "picture = http://127.0.0.1/banner.png\n"
    "click = http://127.0.0.1/click\n";

bool writeAtomically(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
}

bool writeInPlace(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Runs the server on 127.0.0.1 in its own thread, so that the blocking
// latest-version query on the test's thread gets its answers.
class ServerThread : public QThread
{
public:
    explicit ServerThread(const QString &settingsPath)
        : m_settingsPath(settingsPath)
    {
    }
    ~ServerThread() override
    {
        quit();
        wait();
    }

    bool startServer()
    {
        start();
        QMutexLocker lock(&m_mutex);
        while (!m_ready)
            m_cond.wait(&m_mutex);
        return m_server != nullptr;
    }
    quint16 versionPort() const { return m_versionPort; }
    quint16 bannerPort() const { return m_bannerPort; }
    int ignored() const { return m_server.load()->ignoredCount(); }
    int answered() const { return m_server.load()->answeredCount(); }

protected:
    void run() override
    {
        UpdateServer server(m_settingsPath);
        const bool ok = server.start(QHostAddress(QHostAddress::LocalHost), 0, 0);
        {
            QMutexLocker lock(&m_mutex);
            m_versionPort = server.versionPort();
            m_bannerPort = server.bannerPort();
            m_server = ok ? &server : nullptr;
            m_ready = true;
            m_cond.wakeAll();
        }
        if (ok)
            exec();
        m_server = nullptr;
    }

private:
    QString m_settingsPath;
    QMutex m_mutex;
    QWaitCondition m_cond;
    bool m_ready = false;
    std::atomic<UpdateServer *> m_server{nullptr};
    quint16 m_versionPort = 0;
    quint16 m_bannerPort = 0;
};

struct Query
{
    bool ok = false;
    QList<QPair<QString, QString>> channels;
    QString news;
};

Query queryVersions(quint16 port)
{
    UpdateChecker checker(QByteArray("127.0.0.1"), port);
    Query q;
    q.ok = checker.checkUpdate();
    for (int c = 0; c < 3; ++c)
        q.channels.append(checker.getClientVersionByChannel(UpdateChannel(c)));
    q.news = checker.m_newsText;
    return q;
}

// Sends one datagram from a fresh socket and returns the first answer, or a
// null array when none arrives within the wait.
QByteArray exchange(quint16 port, const QByteArray &request, int waitMs = 2000)
{
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    socket.writeDatagram(request, QHostAddress(QHostAddress::LocalHost), port);
    if (!socket.waitForReadyRead(waitMs))
        return QByteArray();
    QByteArray answer(int(socket.pendingDatagramSize()), '\0');
    socket.readDatagram(answer.data(), answer.size());
    return answer.isNull() ? QByteArray("") : answer;
}

} // namespace

class tst_UpdateServer : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dirs.reset(new TestDirs);
        QVERIFY(m_dirs->isValid());
        m_settingsPath = m_dirs->tempDir() + QStringLiteral("/update-server.ini");
        QVERIFY(writeInPlace(m_settingsPath, Settings));
        BANNER_SERVER = QStringLiteral("127.0.0.1");
    }
    void cleanup() { m_dirs.reset(); }

    void settings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("versions");
        QTest::addColumn<QByteArray>("news");
        QTest::addColumn<QByteArray>("banner");
        QTest::addColumn<bool>("warned");

        QTest::newRow("full") << Settings << QByteArray("12#3.0.5,13#3.1 beta#2,")
                              << QByteArray("New: <a href=\"http://127.0.0.1/news?a=1,b=2\">read more</a>, today")
                              << QByteArray("http://127.0.0.1/banner.png,http://127.0.0.1/click") << false;
        QTest::newRow("empty file") << QByteArray() << QByteArray(",,") << QByteArray("\0", 1) << QByteArray()
                                    << false;
        QTest::newRow("CRLF, comments, case of keys")
            << QByteArray("; c\r\n[Versions]\r\nSTABLE=7\r\n# x=y\r\nalpha_label=a\r\nalpha=9\r\n")
            << QByteArray("7,,9#a") << QByteArray("\0", 1) << QByteArray() << false;
        QTest::newRow("label without version is dropped")
            << QByteArray("[versions]\nbeta_label=x\n") << QByteArray(",,") << QByteArray("\0", 1)
            << QByteArray() << false;
        QTest::newRow("version not decimal")
            << QByteArray("[versions]\nstable=12a\nbeta=-3\nalpha=14\n") << QByteArray(",,14")
            << QByteArray("\0", 1) << QByteArray() << true;
        QTest::newRow("comma in label")
            << QByteArray("[versions]\nstable=12\nstable_label=1,2\n") << QByteArray("12,,")
            << QByteArray("\0", 1) << QByteArray() << true;
        QTest::newRow("UTF-8 text goes out as Latin-1")
            << QByteArray("[news]\ntext=Gr\xc3\xbc\xc3\x9f""e \xe2\x82\xac\n") << QByteArray(",,")
            << QByteArray("Gr\xfc\xdf""e ?") << QByteArray() << true;
        QTest::newRow("long news is cut")
            << QByteArray("[news]\ntext=" + QByteArray(5000, 'n') + "\n") << QByteArray(",,")
            << QByteArray(4095, 'n') << QByteArray() << true;
        QTest::newRow("banner without click address")
            << QByteArray("[banner]\npicture=http://127.0.0.1/p.png\n") << QByteArray(",,")
            << QByteArray("\0", 1) << QByteArray("http://127.0.0.1/p.png,") << false;
        QTest::newRow("banner without picture")
            << QByteArray("[banner]\nclick=http://127.0.0.1/\n") << QByteArray(",,") << QByteArray("\0", 1)
            << QByteArray() << false;
        QTest::newRow("comma in banner address")
            << QByteArray("[banner]\npicture=http://127.0.0.1/a,b.png\nclick=http://127.0.0.1/\n")
            << QByteArray(",,") << QByteArray("\0", 1) << QByteArray() << true;
        QTest::newRow("banner longer than a reply")
            << QByteArray("[banner]\npicture=http://127.0.0.1/" + QByteArray(1100, 'p') + "\nclick=x\n")
            << QByteArray(",,") << QByteArray("\0", 1) << QByteArray() << true;
        QTest::newRow("unknown keys and lines")
            << QByteArray("[versions]\nstable=5\nfoo=1\njunk\n[other]\nx=1\n[broken\nbeta=6\n")
            << QByteArray("5,,") << QByteArray("\0", 1) << QByteArray() << true;
    }

    void settings()
    {
        QFETCH(QByteArray, content);
        QStringList warnings;
        const ServerSettings s = ServerSettings::parse(content, &warnings);
        QTEST(s.versionsReply(), "versions");
        QTEST(s.newsReply(), "news");
        QTEST(s.bannerReply(), "banner");
        QTEST(!warnings.isEmpty(), "warned");
    }

    void answersLatestVersionQuery()
    {
        ServerThread server(m_settingsPath);
        QVERIFY(server.startServer());

        const Query q = queryVersions(server.versionPort());
        QVERIFY(q.ok);
        QCOMPARE(q.channels.at(0), qMakePair(QStringLiteral("12"), QStringLiteral("3.0.5")));
        QCOMPARE(q.channels.at(1), qMakePair(QStringLiteral("13"), QStringLiteral("3.1 beta#2")));
        QCOMPARE(q.channels.at(2).first, QString());
        QCOMPARE(q.news,
                 QStringLiteral("New: <a href=\"http://127.0.0.1/news?a=1,b=2\">read more</a>, today"));
    }

    void answersBannerQuery()
    {
        ServerThread server(m_settingsPath);
        QVERIFY(server.startServer());
        BANNER_PORT = server.bannerPort();

        Banner banner;
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("http://127.0.0.1/banner.png"));
        QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("http://127.0.0.1/click"));
    }

    // Editors either rewrite a file in place or replace it; both are seen at
    // the next request, also when the size does not change.
    void settingsChangePickedUpWithoutRestart_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::newRow("rewritten in place") << false;
        QTest::newRow("replaced by rename") << true;
    }

    void settingsChangePickedUpWithoutRestart()
    {
        QFETCH(bool, replace);
        ServerThread server(m_settingsPath);
        QVERIFY(server.startServer());
        BANNER_PORT = server.bannerPort();
        QCOMPARE(queryVersions(server.versionPort()).channels.at(0).first, QStringLiteral("12"));

        QByteArray changed = Settings;
        changed.replace("stable = 12", "stable = 21");
        changed.replace("banner.png", "banner.jpg");
        QCOMPARE(changed.size(), Settings.size());
        QVERIFY(replace ? writeAtomically(m_settingsPath, changed) : writeInPlace(m_settingsPath, changed));

        QCOMPARE(queryVersions(server.versionPort()).channels.at(0).first, QStringLiteral("21"));
        Banner banner;
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("http://127.0.0.1/banner.jpg"));
    }

    // A settings file that vanishes or becomes unusable leaves the last good
    // settings in force.
    void badSettingsFileKeepsLastSettings_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("removed") << "remove";
        QTest::newRow("larger than 1 MiB") << "huge";
        QTest::newRow("replaced by a directory") << "directory";
    }

    void badSettingsFileKeepsLastSettings()
    {
        QFETCH(QString, damage);
        ServerThread server(m_settingsPath);
        QVERIFY(server.startServer());

        QVERIFY(QFile::remove(m_settingsPath));
        if (damage == QLatin1String("huge"))
            QVERIFY(writeInPlace(m_settingsPath, "[versions]\nstable=99\n" + QByteArray(2 * 1024 * 1024, '#')));
        else if (damage == QLatin1String("directory"))
            QVERIFY(QDir().mkpath(m_settingsPath));

        const Query q = queryVersions(server.versionPort());
        QVERIFY(q.ok);
        QCOMPARE(q.channels.at(0).first, QStringLiteral("12"));
    }

    void missingSettingsFileRefusesToStart()
    {
        UpdateServer server(m_dirs->tempDir() + QStringLiteral("/none.ini"));
        QString error;
        QVERIFY(!server.start(QHostAddress(QHostAddress::LocalHost), 0, 0, &error));
        QVERIFY(error.contains(QStringLiteral("none.ini")));
    }

    // Anything but the exact requests gets no answer, and the service goes on.
    void garbageIgnored_data()
    {
        QTest::addColumn<bool>("bannerService");
        QTest::addColumn<QByteArray>("datagram");

        QTest::newRow("versions: empty") << false << QByteArray();
        QTest::newRow("versions: zero byte") << false << QByteArray("\0", 1);
        QTest::newRow("versions: 3 with more") << false << QByteArray("3\0\0", 3);
        QTest::newRow("versions: 33") << false << QByteArray("33");
        QTest::newRow("versions: banner request") << false << QByteArray("\x01\x01", 2);
        QTest::newRow("versions: 3 then 60000 bytes") << false << QByteArray("3\0", 2) + QByteArray(60000, 'x');
        QTest::newRow("banner: versions request") << true << QByteArray("3\0", 2);
        QTest::newRow("banner: 01 02") << true << QByteArray("\x01\x02", 2);
        QTest::newRow("banner: 01 01 00") << true << QByteArray("\x01\x01\x00", 3);
        QTest::newRow("banner: 01 01 then 65000 bytes") << true << QByteArray("\x01\x01", 2) + QByteArray(65000, '\1');
        QTest::newRow("banner: random 1 KB") << true << QByteArray(1024, '\xa5');
    }

    void garbageIgnored()
    {
        QFETCH(bool, bannerService);
        QFETCH(QByteArray, datagram);
        ServerThread server(m_settingsPath);
        QVERIFY(server.startServer());
        const quint16 port = bannerService ? server.bannerPort() : server.versionPort();

        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QVERIFY(client.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), port) == datagram.size());
        const QByteArray valid = bannerService ? QByteArray("\x01\x01", 2) : QByteArray("3", 2);
        QVERIFY(client.writeDatagram(valid, QHostAddress(QHostAddress::LocalHost), port) == valid.size());

        // The first answer to arrive belongs to the valid request.
        QVERIFY(client.waitForReadyRead(5000));
        QByteArray answer(int(client.pendingDatagramSize()), '\0');
        client.readDatagram(answer.data(), answer.size());
        QCOMPARE(answer, bannerService ? QByteArray("http://127.0.0.1/banner.png,http://127.0.0.1/click")
                                       : QByteArray("12#3.0.5,13#3.1 beta#2,"));
        QTRY_COMPARE_WITH_TIMEOUT(server.ignored(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(server.answered(), 1, 5000);
        QVERIFY(!client.hasPendingDatagrams());
    }

    void noBannerConfiguredStaysSilent()
    {
        QVERIFY(writeInPlace(m_settingsPath, "[versions]\nstable=1\n"));
        ServerThread server(m_settingsPath);
        QVERIFY(server.startServer());
        QVERIFY(exchange(server.bannerPort(), QByteArray("\x01\x01", 2), 300).isNull());
        QCOMPARE(exchange(server.versionPort(), QByteArray("*", 2)), QByteArray("\0", 1));
    }

    // The program as publishers run it: options, start-up line, answers.
    void program()
    {
        const QString program = qEnvironmentVariable("CORVANE_BUILD_DIR")
            + QStringLiteral("/tools/update-server/corvane-update-server");
        if (!QFile::exists(program))
            QSKIP("corvane-update-server is not built");

        QProcess bad;
        bad.start(program, {QStringLiteral("--bind"), QStringLiteral("nonsense"), m_settingsPath});
        QVERIFY(bad.waitForFinished(10000));
        QCOMPARE(bad.exitCode(), 2);

        QProcess missing;
        missing.start(program, {QStringLiteral("--version-port"), QStringLiteral("0"),
                                QStringLiteral("--banner-port"), QStringLiteral("0"),
                                m_dirs->tempDir() + QStringLiteral("/none.ini")});
        QVERIFY(missing.waitForFinished(10000));
        QCOMPARE(missing.exitCode(), 1);

        QProcess server;
        server.start(program, {QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                               QStringLiteral("--version-port"), QStringLiteral("0"),
                               QStringLiteral("--banner-port"), QStringLiteral("0"), m_settingsPath});
        QVERIFY(server.waitForStarted(10000));
        const QRegularExpression listening(QStringLiteral("port (\\d+), banner on port (\\d+)"));
        QRegularExpressionMatch match;
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT((log += server.readAllStandardError(),
                                  match = listening.match(QString::fromLocal8Bit(log)), match.hasMatch()),
                                 10000);
        const quint16 versionPort = quint16(match.captured(1).toUInt());
        const quint16 bannerPort = quint16(match.captured(2).toUInt());

        const Query q = queryVersions(versionPort);
        QVERIFY(q.ok);
        QCOMPARE(q.channels.at(1).first, QStringLiteral("13"));
        QCOMPARE(exchange(bannerPort, QByteArray("\x01\x01", 2)),
                 QByteArray("http://127.0.0.1/banner.png,http://127.0.0.1/click"));

        server.terminate();
        QVERIFY(server.waitForFinished(10000));
    }

private:
    QScopedPointer<TestDirs> m_dirs;
    QString m_settingsPath;
};

QTEST_GUILESS_MAIN(tst_UpdateServer)
#include "tst_updateserver.moc"
