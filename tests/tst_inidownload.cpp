#include "configuration.h"
#include "fakehttpserver.h"
#include "inidownloadtaskspecification.h"
#include "mirrors.h"
#include "pipelinerelease.h"
#include "stagesetup.h"
#include "testdirs.h"
#include "tomcryptutil.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QtTest>

#include <memory>

namespace {

constexpr int version = 7;

} // namespace

// Product ini retrieval: what is fetched, what is reused from an interrupted session, and
// how a signature that does not verify is handled.
class tst_IniDownload : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fetchesWhatIsMissing_data();
    void fetchesWhatIsMissing();
    void failedVerificationFetchesBothAgain_data();
    void failedVerificationFetchesBothAgain();
    void retryLimit_data();
    void retryLimit();
    void resetClearsFailureCount();
    void noMirrorEndsStage();

private:
    QString temp(const QString &name) const { return m_config->m_tempDir + QLatin1Char('/') + name; }
    QString iniPath() const { return QStringLiteral("/7/client_linux_x86.ini"); }
    QString sigPath() const { return QStringLiteral("/7/client_linux_x86.ini.sig"); }

    std::unique_ptr<TestDirs> m_dirs;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<Mirrors> m_mirrors;
    std::unique_ptr<FakeHttpServer> m_server;
    QByteArray m_ini;
    QByteArray m_sig;
};

void tst_IniDownload::initTestCase()
{
    crypt_init();
}

void tst_IniDownload::init()
{
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
    m_config = stageConfiguration(*m_dirs);
    QVERIFY(m_config);
    m_config->m_clientVersion = version;
    m_config->m_downloadStreams = 6;
    m_manager.reset(new QNetworkAccessManager);

    PipelineRelease release(version);
    release.addFile(QStringLiteral("a.txt"), "alpha");
    const QString root = m_dirs->tempDir() + QStringLiteral("/mirror");
    QVERIFY(release.writeTo(root));
    m_ini = TestDirs::readFile(root + iniPath());
    m_sig = TestDirs::readFile(root + sigPath());
    QCOMPARE(m_sig.size(), 128);

    m_server.reset(new FakeHttpServer(root));
    QVERIFY(m_server->listen());
    QVERIFY(PipelineRelease::writeMirrorsIni(m_dirs->appFile("mirrors.ini"), {m_server->baseUrl()}));
    m_mirrors.reset(new Mirrors);
    QVERIFY(m_mirrors->initDefault(m_dirs->appFile("mirrors.ini"), version));
}

void tst_IniDownload::cleanup()
{
    m_mirrors.reset();
    m_manager.reset();
    m_server.reset();
    m_config.reset();
    m_dirs.reset();
}

void tst_IniDownload::fetchesWhatIsMissing_data()
{
    QTest::addColumn<bool>("iniPresent");
    QTest::addColumn<bool>("sigPresent");
    QTest::addColumn<int>("iniRequests");
    QTest::addColumn<int>("sigRequests");
    QTest::addColumn<double>("checkWeight");

    QTest::newRow("fresh session") << false << false << 1 << 1 << 0.3334;
    QTest::newRow("signature missing") << true << false << 0 << 1 << 0.6667;
    QTest::newRow("product ini missing") << false << true << 1 << 0 << 0.6667;
    QTest::newRow("both reused") << true << true << 0 << 0 << 1.0;
}

void tst_IniDownload::fetchesWhatIsMissing()
{
    QFETCH(bool, iniPresent);
    QFETCH(bool, sigPresent);
    QFETCH(int, iniRequests);
    QFETCH(int, sigRequests);
    QFETCH(double, checkWeight);

    if (iniPresent)
        QVERIFY(TestDirs::writeFile(temp("client_linux_x86.ini"), m_ini));
    if (sigPresent)
        QVERIFY(TestDirs::writeFile(temp("client_linux_x86.ini.sig"), m_sig));

    IniDownloadTaskSpecification stage(m_manager.get(), m_mirrors.get(), m_config.get(), nullptr, 0.1);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QSignalSpy finished(&stage, SIGNAL(finished(TaskSpecification*)));
    stage.execute();
    QCOMPARE(spyTexts(messages).first(), QStringLiteral("Download / check product ini"));
    QCOMPARE(stage.subTasks().size(), 1 + iniRequests + sigRequests);
    double weights = 0;
    for (TaskSpecification *task : std::as_const(stage.subTasks()))
        weights += task->parentProgressRange();
    QCOMPARE(qRound(weights * 10000), 10000);
    QCOMPARE(qRound(stage.subTasks().last()->parentProgressRange() * 10000), qRound(checkWeight * 10000));

    QVERIFY(finished.wait(10000));
    QCOMPARE(m_server->requestCount(iniPath()), iniRequests);
    QCOMPARE(m_server->requestCount(sigPath()), sigRequests);
    QCOMPARE(TestDirs::readFile(temp("client_linux_x86.ini")), m_ini);
    QCOMPARE(TestDirs::readFile(temp("client_linux_x86.ini.sig")), m_sig);
    QCOMPARE(qRound(stage.progress() * 1000), 100);
}

void tst_IniDownload::failedVerificationFetchesBothAgain_data()
{
    QTest::addColumn<QByteArray>("localIni");
    QTest::addColumn<QByteArray>("localSig");

    QTest::newRow("signature one byte long") << m_ini << m_sig + "x";
    QTest::newRow("signature by another key") << m_ini << QByteArray(128, '\x5a');
    QTest::newRow("product ini altered") << m_ini + "\n[client]\nevil.txt=1::2\n" << m_sig;
    QTest::newRow("empty signature") << m_ini << QByteArray();
}

void tst_IniDownload::failedVerificationFetchesBothAgain()
{
    QFETCH(QByteArray, localIni);
    QFETCH(QByteArray, localSig);

    QVERIFY(TestDirs::writeFile(temp("client_linux_x86.ini"), localIni));
    QVERIFY(TestDirs::writeFile(temp("client_linux_x86.ini.sig"), localSig));

    IniDownloadTaskSpecification stage(m_manager.get(), m_mirrors.get(), m_config.get(), nullptr, 0.1);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QSignalSpy finished(&stage, SIGNAL(finished(TaskSpecification*)));
    QSignalSpy canceled(&stage, SIGNAL(canceled(TaskSpecification*)));
    stage.execute();
    QVERIFY(finished.wait(10000));
    QTest::qWait(50);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(canceled.size(), 0);
    QVERIFY(spyTexts(messages).contains(QStringLiteral("Could not verify the product ini file. Retrying")));
    QCOMPARE(m_server->requestCount(iniPath()), 1);
    QCOMPARE(m_server->requestCount(sigPath()), 1);
    QCOMPARE(TestDirs::readFile(temp("client_linux_x86.ini")), m_ini);
}

void tst_IniDownload::retryLimit_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<bool>("aborted");

    QTest::newRow("1000 failures are retried") << 1000 << false;
    QTest::newRow("the 1001st failure aborts") << 1001 << true;
}

void tst_IniDownload::retryLimit()
{
    QFETCH(int, failures);
    QFETCH(bool, aborted);

    // Driven through the check's verdict directly: a thousand real round trips would make the
    // suite slow without testing anything more than the real retry above.
    IniDownloadTaskSpecification stage(m_manager.get(), m_mirrors.get(), m_config.get(), nullptr, 0.1);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QSignalSpy finished(&stage, SIGNAL(finished(TaskSpecification*)));
    QSignalSpy canceled(&stage, SIGNAL(canceled(TaskSpecification*)));
    stage.execute();
    for (int i = 0; i < failures; ++i)
        stage.onSigCheckDone(false, nullptr);

    const QStringList log = spyTexts(messages);
    QCOMPARE(log.filter(QStringLiteral("Could not verify the product ini file. Retrying")).size(), 1000);
    if (aborted) {
        QCOMPARE(log.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
        QCOMPARE(canceled.size(), 1);
        QCOMPARE(stage.state(), TaskSpecification::TaskErrorCanceled);
        // Start requests still queued from the attempts find nothing and end nothing.
        QTest::qWait(100);
        QCOMPARE(canceled.size(), 1);
        QCOMPARE(finished.size(), 0);
    } else {
        QCOMPARE(canceled.size(), 0);
        QCOMPARE(stage.state(), TaskSpecification::TaskRunning);
        // Every retry fetches both files again.
        QCOMPARE(stage.subTasks().size(), 3);
    }
}

void tst_IniDownload::resetClearsFailureCount()
{
    // One bad verification, then a reset: the next run may reuse local files again.
    QVERIFY(TestDirs::writeFile(temp("client_linux_x86.ini"), m_ini));
    QVERIFY(TestDirs::writeFile(temp("client_linux_x86.ini.sig"), QByteArray(128, '\x01')));
    IniDownloadTaskSpecification stage(m_manager.get(), m_mirrors.get(), m_config.get(), nullptr, 0.1);
    QSignalSpy finished(&stage, SIGNAL(finished(TaskSpecification*)));
    stage.execute();
    QVERIFY(finished.wait(10000));
    QCOMPARE(m_server->requestCount(sigPath()), 1);

    stage.reset();
    QCOMPARE(stage.state(), TaskSpecification::TaskIdle);
    stage.execute();
    QCOMPARE(stage.subTasks().size(), 1);
    QVERIFY(finished.wait(10000));
    QCOMPARE(m_server->requestCount(sigPath()), 1);
}

void tst_IniDownload::noMirrorEndsStage()
{
    m_server->setDefaultBehaviour(FakeHttpServer::Behaviour::status(404));
    IniDownloadTaskSpecification stage(m_manager.get(), m_mirrors.get(), m_config.get(), nullptr, 0.1);
    QSignalSpy canceled(&stage, SIGNAL(canceled(TaskSpecification*)));
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    stage.execute();
    QVERIFY(canceled.wait(10000));
    QCOMPARE(stage.state(), TaskSpecification::TaskErrorCanceled);
    // The check never ran.
    QVERIFY(!spyTexts(messages).join('\n').contains(QStringLiteral("Signature check failed")));
}

QTEST_MAIN(tst_IniDownload)
#include "tst_inidownload.moc"
