#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadfiletaskspecification.h"
#include "fakehttpserver.h"
#include "mirrors.h"
#include "pipelinerelease.h"
#include "stagesetup.h"
#include "testdirs.h"
#include "treesnapshot.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QtTest>

#include <memory>

namespace {

constexpr int version = 12;

FileDownloadSpecification record(const QString &name, const QByteArray &content)
{
    FileDownloadSpecification entry;
    entry.section = QStringLiteral("client");
    entry.fileName = name;
    entry.md5 = md5Hex(content);
    entry.size = quint64(content.size());
    return entry;
}

} // namespace

// The download stage against mirrors on 127.0.0.1: files land in the working directory,
// the stream limit holds, and a mirror serving a corrupt copy is dropped.
class tst_DownloadFileList : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void emptyListNeedsNothing();
    void fetchesIntoSubdirectories();
    void streamLimitHolds();
    void corruptCopyDropsMirror();
    void blockedDirectoryStopsBeforeTransfers();

private:
    // Starts count mirrors serving root and loads them into a fresh pool.
    void startMirrors(int count, const QString &root);
    QString temp(const QString &relative) const { return m_config->m_tempDir + QLatin1Char('/') + relative; }

    std::unique_ptr<TestDirs> m_dirs;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<Mirrors> m_mirrors;
    QList<FakeHttpServer *> m_servers;
};

void tst_DownloadFileList::init()
{
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
    m_config = stageConfiguration(*m_dirs);
    QVERIFY(m_config);
    m_config->m_clientVersion = version;
    m_config->m_downloadStreams = 6;
    m_manager.reset(new QNetworkAccessManager);
}

void tst_DownloadFileList::cleanup()
{
    m_mirrors.reset();
    m_manager.reset();
    qDeleteAll(m_servers);
    m_servers.clear();
    m_config.reset();
    m_dirs.reset();
}

void tst_DownloadFileList::startMirrors(int count, const QString &root)
{
    QStringList addresses;
    for (int i = 0; i < count; ++i) {
        auto *server = new FakeHttpServer(root);
        QVERIFY(server->listen());
        m_servers << server;
        addresses << server->baseUrl();
    }
    QVERIFY(PipelineRelease::writeMirrorsIni(m_dirs->appFile("mirrors.ini"), addresses));
    m_mirrors.reset(new Mirrors);
    QVERIFY(m_mirrors->initDefault(m_dirs->appFile("mirrors.ini"), version));
    QCOMPARE(m_mirrors->mirrors().size(), count);
}

void tst_DownloadFileList::emptyListNeedsNothing()
{
    startMirrors(1, m_dirs->appDir());
    QList<FileDownloadSpecification> downloads;
    DownloadFileListTaskSpecification stage(&downloads, m_manager.get(), m_mirrors.get(), m_config.get(), nullptr,
                                            0.4);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QSignalSpy finished(&stage, SIGNAL(finished(TaskSpecification*)));
    stage.execute();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(spyTexts(messages), QStringList{"No downloads needed"});
    QCOMPARE(stage.progress(), 0.4);
    QVERIFY(treeSnapshot(m_config->m_tempDir).isEmpty());
    QCOMPARE(m_servers.first()->totalRequests(), 0);
}

void tst_DownloadFileList::fetchesIntoSubdirectories()
{
    const QString root = m_dirs->tempDir() + QStringLiteral("/mirror");
    const QByteArray a = "top-level file", b = QByteArray(70000, 'b'), c = "another one in the same directory";
    QVERIFY(TestDirs::writeFile(root + "/12/client/a.txt", a));
    QVERIFY(TestDirs::writeFile(root + "/12/client/sub/deeper/b.bin", b));
    QVERIFY(TestDirs::writeFile(root + "/12/client/sub/deeper/c.txt", c));
    // A stale partial copy from an earlier session is overwritten.
    QVERIFY(TestDirs::writeFile(temp("a.txt"), "stale"));
    startMirrors(2, root);

    QList<FileDownloadSpecification> downloads{record("a.txt", a), record("sub/deeper/b.bin", b),
                                               record("sub/deeper/c.txt", c)};
    DownloadFileListTaskSpecification stage(&downloads, m_manager.get(), m_mirrors.get(), m_config.get(), nullptr,
                                            0.4);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QSignalSpy finished(&stage, SIGNAL(finished(TaskSpecification*)));
    QSignalSpy canceled(&stage, SIGNAL(canceled(TaskSpecification*)));
    // Every progress report is the sum of the file tasks' progress times the stage's share.
    int reports = 0, mismatches = 0;
    connect(&stage, &TaskSpecification::updateProgress, this, [&](qreal value) {
        double sum = 0;
        for (TaskSpecification *task : stage.subTasks())
            sum += task->progress();
        ++reports;
        if (stage.state() == TaskSpecification::TaskRunning && qAbs(value - sum * 0.4) > 1e-9)
            ++mismatches;
    });
    stage.execute();
    // The directories exist before any transfer has started.
    QVERIFY(QFileInfo(temp("sub/deeper")).isDir());
    QVERIFY(finished.wait(20000));
    QCOMPARE(canceled.size(), 0);
    QCOMPARE(spyTexts(messages).first(), QStringLiteral("Downloading files"));

    QCOMPARE(TestDirs::readFile(temp("a.txt")), a);
    QCOMPARE(TestDirs::readFile(temp("sub/deeper/b.bin")), b);
    QCOMPARE(TestDirs::readFile(temp("sub/deeper/c.txt")), c);
    QCOMPARE(qRound(stage.progress() * 1000), 400);
    QVERIFY(reports > 10);
    QCOMPARE(mismatches, 0);

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = true;
    stage.timeTick(done, total, speed, downloading);
    QCOMPARE(total, quint64(a.size() + b.size() + c.size()));
    QCOMPARE(done, total);
    QVERIFY(!downloading);
    // Finished files no longer hold their transfer and check; the figures above came without them.
    for (TaskSpecification *task : stage.subTasks()) {
        if (auto *composed = qobject_cast<ComposedTaskSpecification *>(task))
            QVERIFY(composed->subTasks().isEmpty());
    }
}

void tst_DownloadFileList::streamLimitHolds()
{
    const QString root = m_dirs->tempDir() + QStringLiteral("/mirror");
    QList<FileDownloadSpecification> downloads;
    for (int i = 0; i < 10; ++i) {
        const QByteArray content = "file number " + QByteArray::number(i);
        QVERIFY(TestDirs::writeFile(root + QStringLiteral("/12/client/f%1").arg(i), content));
        downloads << record(QStringLiteral("f%1").arg(i), content);
    }
    // Enough mirrors that only the stream limit holds transfers back.
    startMirrors(10, root);
    for (FakeHttpServer *server : std::as_const(m_servers)) {
        for (int i = 1; i < 10; ++i)
            server->setBehaviour(QStringLiteral("/12/client/f%1").arg(i), FakeHttpServer::Behaviour::silence());
    }
    const auto requests = [this] {
        int sum = 0;
        for (FakeHttpServer *server : std::as_const(m_servers))
            sum += server->totalRequests();
        return sum;
    };

    DownloadFileListTaskSpecification stage(&downloads, m_manager.get(), m_mirrors.get(), m_config.get(), nullptr,
                                            0.4);
    stage.execute();
    // Six start at once; f0 finishes, so the seventh starts, and no more.
    QTRY_COMPARE_WITH_TIMEOUT(requests(), 7, 10000);
    const auto inState = [&stage](TaskSpecification::TaskState state) {
        int count = 0;
        for (TaskSpecification *task : stage.subTasks())
            count += task->state() == state ? 1 : 0;
        return count;
    };
    QTRY_COMPARE_WITH_TIMEOUT(inState(TaskSpecification::TaskFinished), 1, 10000);
    QTest::qWait(200);
    QCOMPARE(requests(), 7);
    QCOMPARE(inState(TaskSpecification::TaskRunning), 6);
    QCOMPARE(inState(TaskSpecification::TaskIdle), 3);

    QSignalSpy canceled(&stage, SIGNAL(canceled(TaskSpecification*)));
    stage.userCanceled();
    QTRY_COMPARE_WITH_TIMEOUT(canceled.size(), 1, 10000);
    QVERIFY(stage.state() == TaskSpecification::TaskUserCanceled
            || stage.state() == TaskSpecification::TaskErrorCanceled);
    QCOMPARE(requests(), 7);
}

void tst_DownloadFileList::corruptCopyDropsMirror()
{
    const QString root = m_dirs->tempDir() + QStringLiteral("/mirror");
    const QByteArray one = QByteArray(30000, '1'), two = QByteArray(40000, '2');
    QVERIFY(TestDirs::writeFile(root + "/12/client/one.bin", one));
    QVERIFY(TestDirs::writeFile(root + "/12/client/two.bin", two));
    startMirrors(2, root);
    // Two files, two streams, two mirrors: each mirror serves one file first, so the bad one is hit.
    m_config->m_downloadStreams = 2;
    m_servers.first()->setDefaultBehaviour(FakeHttpServer::Behaviour::corrupt(100, 4));

    QList<FileDownloadSpecification> downloads{record("one.bin", one), record("two.bin", two)};
    DownloadFileListTaskSpecification stage(&downloads, m_manager.get(), m_mirrors.get(), m_config.get(), nullptr,
                                            0.4);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QSignalSpy finished(&stage, SIGNAL(finished(TaskSpecification*)));
    stage.execute();
    QVERIFY(finished.wait(20000));

    QCOMPARE(TestDirs::readFile(temp("one.bin")), one);
    QCOMPARE(TestDirs::readFile(temp("two.bin")), two);
    QCOMPARE(m_servers.first()->totalRequests(), 1);
    QCOMPARE(m_servers.last()->totalRequests(), 2);
    QCOMPARE(m_mirrors->mirrors().size(), 1);
    QCOMPARE(m_mirrors->mirrors().first().name, QStringLiteral("m1"));

    const QString bad = m_servers.first()->requestedPaths().first() == QLatin1String("/12/client/one.bin")
                            ? QStringLiteral("one.bin")
                            : QStringLiteral("two.bin");
    const QStringList log = spyTexts(messages);
    const int failed = log.indexOf(QStringLiteral("Signature check failed for %1").arg(temp(bad)));
    QVERIFY2(failed >= 0, qPrintable(log.join('\n')));
    QCOMPARE(log.value(failed + 1), QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying").arg(bad));
    QCOMPARE(log.filter(QStringLiteral("invalidating mirror")).size(), 1);

    // The total shown stays the product ini's figure although one file came twice.
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    stage.timeTick(done, total, speed, downloading);
    QCOMPARE(total, quint64(one.size() + two.size()));
}

void tst_DownloadFileList::blockedDirectoryStopsBeforeTransfers()
{
    startMirrors(1, m_dirs->appDir());
    QVERIFY(TestDirs::writeFile(temp("sub"), "a file where a directory belongs"));
    QList<FileDownloadSpecification> downloads{record("a.txt", "a"), record("sub/b.txt", "b")};
    DownloadFileListTaskSpecification stage(&downloads, m_manager.get(), m_mirrors.get(), m_config.get(), nullptr,
                                            0.4);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QSignalSpy canceled(&stage, SIGNAL(canceled(TaskSpecification*)));
    stage.execute();
    QCOMPARE(canceled.size(), 1);
    QCOMPARE(stage.state(), TaskSpecification::TaskErrorCanceled);
    QCOMPARE(spyTexts(messages),
             QStringList{QStringLiteral("Could not create dir %1/sub").arg(QDir(m_config->m_tempDir).canonicalPath())});
    QTest::qWait(100);
    QCOMPARE(m_servers.first()->totalRequests(), 0);
}

QTEST_MAIN(tst_DownloadFileList)
#include "tst_downloadfilelist.moc"
