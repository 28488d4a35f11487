#include "configuration.h"
#include "fakeupdateserver.h"
#include "testdirs.h"
#include "updatechecker.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
const QByteArray ServiceVersions = "12#1.2,13#1.3-beta,14#1.4-alpha";
const QByteArray ServiceNews = "Hello <a href=\"http://example.invalid/\">news</a>";
}

class tst_Configuration : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void commandLine_data();
    void commandLine();
    void downloadStreams_data();
    void downloadStreams();
    void createTempDirSkipsExisting();
    void createTempDirFailsWhenNothingCanBeMade();
    void initalizeStartAdoptsSessionDir();
    void specialFileNames();

private:
    std::unique_ptr<TestDirs> m_dirs;
};

void tst_Configuration::init()
{
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
}

void tst_Configuration::cleanup()
{
    Configuration::setRetryPromptOverride(std::function<bool()>());
    UpdateChecker::clearServerOverride();
    m_dirs.reset();
}

void tst_Configuration::commandLine_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("versionsReply"); // null: the service never answers
    QTest::addColumn<int>("ignoreFirst");
    QTest::addColumn<QString>("retryAnswers"); // 'R' retry, 'A' abort, in order
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("news");
    QTest::addColumn<int>("noUser");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<int>("serviceRequests");
    QTest::addColumn<int>("prompts");

    const QByteArray none;
    const QByteArray beta = "[Channel]\nbeta=true\n";
    const QByteArray alpha = "[Channel]\nalpha=http://alpha.invalid/\nbeta=true\n";
    const QByteArray alphaRev = "[Channel]\nalpha=http://alpha.invalid/\nalphaRevno=812\n";
    const QString def = QStringLiteral("client_linux_x86");
    const QString news = QString::fromLatin1(ServiceNews);
    const QStringList noErrors;

    QTest::newRow("defaults") << none << QStringList() << ServiceVersions << 0 << ""
        << true << int(Stable) << def << 12 << "1.2" << news << 0 << noErrors << 2 << 0;
    QTest::newRow("beta channel uses the second entry") << beta << QStringList() << ServiceVersions << 0 << ""
        << true << int(Beta) << def << 13 << "1.3-beta" << news << 0 << noErrors << 2 << 0;
    QTest::newRow("alpha wins over beta, third entry") << alpha << QStringList() << ServiceVersions << 0 << ""
        << true << int(Alpha) << def << 14 << "1.4-alpha" << news << 0 << noErrors << 2 << 0;
    QTest::newRow("alpha revision wins over an invalid argument")
        << alphaRev << QStringList{"--nouser", "client_x", "abc"} << ServiceVersions << 0 << ""
        << true << int(Alpha) << "client_x" << 812 << "" << "" << 1 << noErrors << 0 << 0;
    QTest::newRow("alpha revision that is no number")
        << QByteArray("[Channel]\nalpha=x\nalphaRevno=abc\n") << QStringList() << ServiceVersions << 0 << ""
        << true << int(Alpha) << def << 14 << "1.4-alpha" << news << 0 << noErrors << 2 << 0;

    QTest::newRow("explicit type and version") << none << QStringList{"client_x", "42"} << ServiceVersions << 0 << ""
        << true << int(Stable) << "client_x" << 42 << "" << "" << 0 << noErrors << 0 << 0;
    QTest::newRow("explicit invalid version") << none << QStringList{"client_x", "x"} << ServiceVersions << 0 << ""
        << false << int(Stable) << "client_x" << 0 << "" << "" << 0
        << QStringList{"Invalid version nr (x)"} << 0 << 0;
    QTest::newRow("explicit version beyond 32 bits") << none << QStringList{"client_x", "2147483648"}
        << ServiceVersions << 0 << ""
        << false << int(Stable) << "client_x" << 0 << "" << "" << 0
        << QStringList{"Invalid version nr (2147483648)"} << 0 << 0;
    QTest::newRow("one argument is ignored") << none << QStringList{"client_x"} << ServiceVersions << 0 << ""
        << true << int(Stable) << def << 12 << "1.2" << news << 0 << noErrors << 2 << 0;
    QTest::newRow("three arguments are ignored") << none << QStringList{"client_x", "42", "more"}
        << ServiceVersions << 0 << ""
        << true << int(Stable) << def << 12 << "1.2" << news << 0 << noErrors << 2 << 0;
    QTest::newRow("--NOUSER is no unattended form") << none << QStringList{"--NOUSER", "42"}
        << ServiceVersions << 0 << ""
        << true << int(Stable) << "--NOUSER" << 42 << "" << "" << 0 << noErrors << 0 << 0;

    QTest::newRow("nouser alone") << none << QStringList{"--nouser"} << ServiceVersions << 0 << ""
        << true << int(Stable) << def << 12 << "1.2" << news << 1 << noErrors << 2 << 0;
    QTest::newRow("nouser with a type only ignores it") << none << QStringList{"--nouser", "client_x"}
        << ServiceVersions << 0 << ""
        << true << int(Stable) << def << 12 << "1.2" << news << 1 << noErrors << 2 << 0;
    QTest::newRow("nouser type version") << none << QStringList{"--nouser", "client_x", "42"}
        << ServiceVersions << 0 << ""
        << true << int(Stable) << "client_x" << 42 << "" << "" << 1 << noErrors << 0 << 0;
    QTest::newRow("nouser with label") << none << QStringList{"--nouser", "client_x", "42", "3.0.5"}
        << ServiceVersions << 0 << ""
        << true << int(Stable) << "client_x" << 42 << "3.0.5" << "" << 1 << noErrors << 0 << 0;
    QTest::newRow("nouser # for no label, news") << none
        << QStringList{"--nouser", "client_x", "42", "#", "Some news"} << ServiceVersions << 0 << ""
        << true << int(Stable) << "client_x" << 42 << "" << "Some news" << 1 << noErrors << 0 << 0;
    QTest::newRow("nouser label, news, extra ignored") << none
        << QStringList{"--nouser", "client_x", "42", "3.0.5", "Some news", "extra"} << ServiceVersions << 0 << ""
        << true << int(Stable) << "client_x" << 42 << "3.0.5" << "Some news" << 1 << noErrors << 0 << 0;
    QTest::newRow("nouser invalid version") << none << QStringList{"--nouser", "client_x", "abc"}
        << ServiceVersions << 0 << ""
        << false << int(Stable) << "client_x" << 0 << "" << "" << 0
        << QStringList{"Invalid version nr (abc)"} << 0 << 0;
    QTest::newRow("nouser version 0 asks the service") << none << QStringList{"--nouser", "client_x", "0", "#", "mine"}
        << ServiceVersions << 0 << ""
        << true << int(Stable) << "client_x" << 12 << "1.2" << news << 1 << noErrors << 2 << 0;

    QTest::newRow("service returns an invalid version") << none << QStringList()
        << QByteArray("x1#foo,13") << 0 << ""
        << false << int(Stable) << def << 0 << "" << news << 0
        << QStringList{"Update server returned invalid version nr (x1)"} << 2 << 0;
    QTest::newRow("service entry empty for the channel") << none << QStringList()
        << QByteArray(",200") << 0 << ""
        << false << int(Stable) << def << 0 << "" << news << 0 << noErrors << 2 << 0;
    QTest::newRow("service list shorter than the channel index") << beta << QStringList()
        << QByteArray("12#1.2") << 0 << ""
        << false << int(Beta) << def << 0 << "" << news << 0 << noErrors << 2 << 0;
    QTest::newRow("abort in the retry dialog") << none << QStringList{"--nouser", "client_x", "0", "#", "cmd news"}
        << none << 0 << "A"
        << false << int(Stable) << "client_x" << 0 << "" << "cmd news" << 0 << noErrors << 1 << 1;
    QTest::newRow("abort unattended without version") << none << QStringList{"--nouser"}
        << none << 0 << "A"
        << false << int(Stable) << def << 0 << "" << "" << 0 << noErrors << 1 << 1;
    QTest::newRow("retry twice, then the service answers") << none << QStringList()
        << ServiceVersions << 2 << "RR"
        << true << int(Stable) << def << 12 << "1.2" << news << 0 << noErrors << 4 << 2;
}

void tst_Configuration::commandLine()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, versionsReply);
    QFETCH(int, ignoreFirst);
    QFETCH(QString, retryAnswers);

    if (!ini.isEmpty())
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("update.ini"), ini));

    FakeUpdateServer server;
    QVERIFY(server.isListening());
    if (!versionsReply.isNull()) {
        server.setVersionsReply(versionsReply);
        server.setNewsReply(ServiceNews);
    }
    server.setIgnoreFirst(ignoreFirst);
    // Unanswered rows only need to time out; the real 5 s wait is covered by the checker's tests.
    UpdateChecker::setServerOverride("127.0.0.1", server.port(), 300);

    int prompts = 0;
    Configuration::setRetryPromptOverride([&]() {
        const bool retry = prompts < retryAnswers.size() && retryAnswers.at(prompts) == QLatin1Char('R');
        ++prompts;
        return retry;
    });

    Configuration config;
    QSignalSpy errors(&config, &Configuration::fatalError);
    const bool result = config.parseCommandLineOptions(QStringList{"update"} + arguments);

    QStringList errorTexts;
    for (const QList<QVariant> &signal : errors)
        errorTexts << signal.at(0).toString();

    QTEST(result, "result");
    QTEST(int(config.m_channel), "channel");
    QTEST(config.m_clientType, "type");
    QTEST(config.m_clientVersion, "version");
    QTEST(config.m_versionLabel, "label");
    QTEST(config.m_news, "news");
    QTEST(config.m_noUser, "noUser");
    QTEST(errorTexts, "errors");
    QTEST(server.requestCount(), "serviceRequests");
    QTEST(prompts, "prompts");
}

void tst_Configuration::downloadStreams_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("streams");
    QTest::addColumn<QString>("proxy");

    QTest::newRow("no file") << QByteArray() << 6 << "";
    QTest::newRow("missing key") << QByteArray("[update]\nproxy=http://proxy.invalid:8080\n") << 6
                                 << "http://proxy.invalid:8080";
    QTest::newRow("zero") << QByteArray("[update]\nstreams=0\n") << 6 << "";
    QTest::newRow("negative") << QByteArray("[update]\nstreams=-3\n") << 6 << "";
    QTest::newRow("not a number") << QByteArray("[update]\nstreams=abc\n") << 6 << "";
    QTest::newRow("two") << QByteArray("[update]\nstreams=2\n") << 2 << "";
    QTest::newRow("key in another section") << QByteArray("[Channel]\nstreams=2\n") << 6 << "";
}

void tst_Configuration::downloadStreams()
{
    QFETCH(QByteArray, ini);
    if (!ini.isNull())
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("update.ini"), ini));

    Configuration config;
    config.getProxyAndDownloadConcurrency();
    QTEST(config.m_downloadStreams, "streams");
    QTEST(config.m_proxy, "proxy");
}

void tst_Configuration::createTempDirSkipsExisting()
{
    const QString tmp = QDir::tempPath();
    QVERIFY(QDir(tmp).mkdir("corvane_temp_0"));
    QVERIFY(QDir(tmp).mkdir("corvane_temp_1"));
    // A plain file of a candidate's name counts as taken too.
    QVERIFY(TestDirs::writeFile(tmp + "/corvane_temp_2", "x"));
    QVERIFY(QFile::link(tmp + "/nowhere", tmp + "/corvane_temp_3"));

    Configuration config;
    QSignalSpy errors(&config, &Configuration::fatalError);
    QVERIFY(config.createTempDir());
    QCOMPARE(config.m_tempDir, tmp + "/corvane_temp_4");
    QVERIFY(QFileInfo(config.m_tempDir).isDir());
    QCOMPARE(errors.count(), 0);

    // Never reused: the next call makes the next one.
    QVERIFY(config.createTempDir());
    QCOMPARE(config.m_tempDir, tmp + "/corvane_temp_5");
}

void tst_Configuration::createTempDirFailsWhenNothingCanBeMade()
{
    // A temporary "directory" that is a plain file: every candidate fails, also for root.
    const QString notADir = m_dirs->tempDir() + "/plainfile";
    QVERIFY(TestDirs::writeFile(notADir, "x"));
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(notADir));

    Configuration config;
    QSignalSpy errors(&config, &Configuration::fatalError);
    const bool made = config.createTempDir();
    qputenv("TMPDIR", oldTmp);

    QVERIFY(!made);
    QVERIFY(config.m_tempDir.isEmpty());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QString("Unable to create temp directory."));
}

void tst_Configuration::initalizeStartAdoptsSessionDir()
{
    Configuration config;
    const QString session = m_dirs->tempDir() + "/some session";
    QVERIFY(config.initalizeStart(session));
    QCOMPARE(config.m_tempDir, session);
    QVERIFY(!QFileInfo::exists(session));
    QVERIFY(!QFileInfo::exists(QDir::tempPath() + "/corvane_temp_0"));

    QVERIFY(config.initalizeStart(QString()));
    QCOMPARE(config.m_tempDir, QDir::tempPath() + "/corvane_temp_0");
    QVERIFY(QFileInfo(config.m_tempDir).isDir());
}

void tst_Configuration::specialFileNames()
{
    const QStringList names = Configuration::getSpecialFileNames();
    QCOMPARE(names, (QStringList{"update", "libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4",
                                 "libqgif.so", "libqjpeg.so", "libqtaccessiblewidgets.so"}));
    for (const QString &name : names)
        QVERIFY(Configuration::isSpecialFileName(name));
    QVERIFY(!Configuration::isSpecialFileName("Update"));
    QVERIFY(!Configuration::isSpecialFileName("_old_update"));
    QVERIFY(!Configuration::isSpecialFileName("imageformats/libqgif.so"));
    QCOMPARE(Configuration::getSpecialFileRenamePrefix(), QString("_old_"));
}

QTEST_MAIN(tst_Configuration)
#include "tst_configuration.moc"
