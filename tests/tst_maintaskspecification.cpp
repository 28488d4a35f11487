#include "configuration.h"
#include "fakehttpserver.h"
#include "filereplacetaskspecification.h"
#include "maintaskspecification.h"
#include "mirrors.h"
#include "pipelinerelease.h"
#include "stagesetup.h"
#include "testdirs.h"
#include "tomcryptutil.h"
#include "treesnapshot.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QtTest>

#include <memory>

namespace {

constexpr int version = 12;
using Tree = QMap<QString, QByteArray>;

const QFileDevice::Permissions everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
                                          | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                          | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

// The release every test installs: programs, a special file, libraries, a sub-directory,
// a packed file and two obsolete files.
PipelineRelease makeRelease()
{
    PipelineRelease release(version);
    release.addFile(QStringLiteral("cv3client_linux_x86"), "client program, release 12");
    release.addFile(QStringLiteral("cv3client_runscript.sh"), "#!/bin/sh\nexec ./cv3client_linux_x86\n");
    release.addFile(QStringLiteral("update"), "updater, release 12");
    release.addFile(QStringLiteral("libfoo.so.4"), "library, release 12");
    release.addFile(QStringLiteral("plugins/libbar.so"), "plugin, release 12");
    release.addFile(QStringLiteral("readme.txt"), "unchanged readme");
    release.addFile(QStringLiteral("data/maps/m1.dat"), QByteArray(20000, 'm'));
    release.addPackedFile(QStringLiteral("data/big.bin"), QByteArray(300000, 'B') + "end");
    release.addDelete(QStringLiteral("obsolete.txt"));
    release.addDelete(QStringLiteral("data/old.dat"));
    return release;
}

// An installation of the release before: some files older, some the same, obsolete files present.
Tree olderInstallation()
{
    return Tree{{"cv3client_linux_x86", "client program, release 11"},
                {"update", "updater, release 11"},
                {"libfoo.so.4", "library, release 11"},
                {"plugins/libbar.so", "plugin, release 11"},
                {"readme.txt", "unchanged readme"},
                {"data/maps/m1.dat", "old map"},
                {"data/old.dat", "no longer part of the release"},
                {"obsolete.txt", "no longer part of the release"},
                {"user.cfg", "the player's own settings"}};
}

Tree filesOnly(const Tree &tree)
{
    Tree result;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (it.value() != QByteArray("<dir>"))
            result.insert(it.key(), it.value());
    }
    return result;
}

QMap<QString, QDateTime> modificationTimes(const QString &root)
{
    QMap<QString, QDateTime> result;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        result.insert(path, QFileInfo(path).lastModified());
    }
    return result;
}

} // namespace

// Whole update runs of the root task against mirrors on 127.0.0.1 serving a signed release.
class tst_MainTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void installsRelease_data();
    void installsRelease();
    void nothingToDo();
    void resumesWithoutFetchingAgain();
    void installFailureRestoresInstallation();
    void badProductIniStopsBeforeDownloads_data();
    void badProductIniStopsBeforeDownloads();
    void resetEmptiesLists();

private:
    void serve(const PipelineRelease &release);
    void install(const Tree &files);
    // Runs a root task to its end; returns the root's progress each time a stage finished.
    QList<double> run(bool expectSuccess);
    int fileRequests() const;
    QString temp(const QString &relative) const { return m_config->m_tempDir + QLatin1Char('/') + relative; }

    std::unique_ptr<TestDirs> m_dirs;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<Mirrors> m_mirrors;
    QList<FakeHttpServer *> m_servers;
    QStringList m_log;
    std::unique_ptr<MainTaskSpecification> m_root;
};

void tst_MainTaskSpecification::initTestCase()
{
    crypt_init();
}

void tst_MainTaskSpecification::init()
{
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
    m_config = stageConfiguration(*m_dirs);
    QVERIFY(m_config);
    m_config->m_clientVersion = version;
    m_config->m_downloadStreams = 3;
    m_manager.reset(new QNetworkAccessManager);
    m_log.clear();
}

void tst_MainTaskSpecification::cleanup()
{
    m_root.reset();
    m_mirrors.reset();
    m_manager.reset();
    qDeleteAll(m_servers);
    m_servers.clear();
    m_config.reset();
    m_dirs.reset();
}

void tst_MainTaskSpecification::serve(const PipelineRelease &release)
{
    const QString root = m_dirs->tempDir() + QStringLiteral("/mirror");
    QVERIFY(release.writeTo(root));
    QStringList addresses;
    for (int i = 0; i < 2; ++i) {
        auto *server = new FakeHttpServer(root);
        QVERIFY(server->listen());
        m_servers << server;
        addresses << server->baseUrl();
    }
    // The mirror list lies outside the installation so that it does not show in its snapshots.
    const QString list = m_dirs->tempDir() + QStringLiteral("/mirrors.ini");
    QVERIFY(PipelineRelease::writeMirrorsIni(list, addresses));
    m_mirrors.reset(new Mirrors);
    QVERIFY(m_mirrors->initDefault(list, version));
}

void tst_MainTaskSpecification::install(const Tree &files)
{
    // As the updater leaves an installation: program files open to everyone.
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = m_dirs->appFile(it.key());
        QVERIFY(TestDirs::writeFile(path, it.value()));
        if (FileReplaceTaskSpecification::isExecutableFile(path))
            QVERIFY(QFile::setPermissions(path, everyone));
    }
}

QList<double> tst_MainTaskSpecification::run(bool expectSuccess)
{
    m_root.reset(new MainTaskSpecification(m_manager.get(), m_mirrors.get(), m_config.get(), nullptr, 1.0));
    QSignalSpy messages(m_root.get(), SIGNAL(message(QString)));
    QSignalSpy finished(m_root.get(), SIGNAL(finished(TaskSpecification*)));
    QSignalSpy canceled(m_root.get(), SIGNAL(canceled(TaskSpecification*)));
    QList<double> stageEnds;
    m_root->execute();
    if (m_root->subTasks().size() != 5)
        return {};
    for (TaskSpecification *stage : std::as_const(m_root->subTasks())) {
        connect(stage, &TaskSpecification::finished, this, [&] { stageEnds << m_root->progress(); });
    }
    if (!QTest::qWaitFor([&] { return finished.size() + canceled.size() > 0; }, 60000))
        qWarning("run did not end in time");
    QTest::qWait(50);
    m_log = spyTexts(messages);
    if (finished.size() + canceled.size() != 1 || (finished.size() == 1) != expectSuccess)
        qWarning().noquote() << "unexpected end of run:" << m_root->state() << "\n" << m_log.join('\n');
    return stageEnds;
}

int tst_MainTaskSpecification::fileRequests() const
{
    int count = 0;
    for (FakeHttpServer *server : m_servers) {
        for (const QString &path : server->requestedPaths()) {
            if (!path.endsWith(QLatin1String(".ini")) && !path.endsWith(QLatin1String(".ini.sig")))
                ++count;
        }
    }
    return count;
}

void tst_MainTaskSpecification::installsRelease_data()
{
    QTest::addColumn<bool>("older");
    QTest::newRow("fresh install into an empty directory") << false;
    QTest::newRow("update of an older installation") << true;
}

void tst_MainTaskSpecification::installsRelease()
{
    QFETCH(bool, older);

    const PipelineRelease release = makeRelease();
    serve(release);
    if (older)
        install(olderInstallation());

    const QList<double> stageEnds = run(true);
    QCOMPARE(m_root->state(), TaskSpecification::TaskFinished);
    QCOMPARE(m_log.first(), QStringLiteral("Starting update process"));
    QCOMPARE(stageEnds.size(), 5);
    const QList<double> expected{0.1, 0.15, 0.55, 0.95, 1.0};
    for (int i = 0; i < 5; ++i)
        QVERIFY2(qAbs(stageEnds.at(i) - expected.at(i)) < 1e-9, qPrintable(QString::number(stageEnds.at(i))));

    Tree want = release.installed();
    if (older) {
        // The updater's own old copy stays until its next start; the player's file is left alone.
        want.insert(QStringLiteral("_old_update"), "updater, release 11");
        want.insert(QStringLiteral("user.cfg"), "the player's own settings");
    }
    QCOMPARE(filesOnly(treeSnapshot(m_dirs->appDir())), want);

    for (const char *name : {"cv3client_linux_x86", "cv3client_runscript.sh", "update", "libfoo.so.4",
                             "plugins/libbar.so"}) {
        QVERIFY2((QFile::permissions(m_dirs->appFile(name)) & everyone) == everyone, name);
    }
    QVERIFY(!(QFile::permissions(m_dirs->appFile("readme.txt")) & QFileDevice::ExeOther));
    // Unchanged files were not fetched.
    QCOMPARE(fileRequests(), older ? 7 : 8);
}

void tst_MainTaskSpecification::nothingToDo()
{
    const PipelineRelease release = makeRelease();
    serve(release);
    install(release.installed());
    install(Tree{{"user.cfg", "mine"}});
    const Tree before = treeSnapshot(m_dirs->appDir());
    const auto times = modificationTimes(m_dirs->appDir());

    run(true);
    QCOMPARE(m_root->state(), TaskSpecification::TaskFinished);
    QVERIFY2(m_log.contains(QStringLiteral("No downloads needed")), qPrintable(m_log.join('\n')));
    QVERIFY(m_log.filter(QStringLiteral("add/replace")).isEmpty());
    QCOMPARE(fileRequests(), 0);
    QCOMPARE(treeSnapshot(m_dirs->appDir()), before);
    QCOMPARE(modificationTimes(m_dirs->appDir()), times);
}

void tst_MainTaskSpecification::resumesWithoutFetchingAgain()
{
    const PipelineRelease release = makeRelease();
    serve(release);
    install(olderInstallation());
    // An interrupted session left two good files and one broken one in the working directory.
    const QString mirrorRoot = m_dirs->tempDir() + QStringLiteral("/mirror/12/");
    QVERIFY(TestDirs::writeFile(temp("update"), TestDirs::readFile(mirrorRoot + "client/update")));
    QVERIFY(TestDirs::writeFile(temp("data/big.bin.gz"), TestDirs::readFile(mirrorRoot + "client/data/big.bin.gz")));
    QVERIFY(TestDirs::writeFile(temp("libfoo.so.4"), "broken by the interruption"));

    run(true);
    QCOMPARE(m_root->state(), TaskSpecification::TaskFinished);
    int updateRequests = 0, packedRequests = 0, libraryRequests = 0;
    for (FakeHttpServer *server : std::as_const(m_servers)) {
        updateRequests += server->requestCount(QStringLiteral("/12/client/update"));
        packedRequests += server->requestCount(QStringLiteral("/12/client/data/big.bin.gz"));
        libraryRequests += server->requestCount(QStringLiteral("/12/client/libfoo.so.4"));
    }
    QCOMPARE(updateRequests, 0);
    QCOMPARE(packedRequests, 0);
    QCOMPARE(libraryRequests, 1);
    QCOMPARE(fileRequests(), 5);
    QCOMPARE(TestDirs::readFile(m_dirs->appFile("update")), QByteArray("updater, release 12"));
    QCOMPARE(TestDirs::readFile(m_dirs->appFile("data/big.bin")), release.installed().value("data/big.bin"));
}

void tst_MainTaskSpecification::installFailureRestoresInstallation()
{
    PipelineRelease release = makeRelease();
    release.breakUnpackedSum(QStringLiteral("data/big.bin"));
    serve(release);
    install(olderInstallation());
    const Tree before = treeSnapshot(m_dirs->appDir());

    run(false);
    QCOMPARE(m_root->state(), TaskSpecification::TaskErrorCanceled);
    QVERIFY2(m_log.contains(QStringLiteral("rolling back file updates")), qPrintable(m_log.join('\n')));
    QVERIFY(m_log.contains(QStringLiteral("Signature check failed for %1").arg(m_dirs->appFile("data/_new_big.bin"))));
    QVERIFY(m_log.filter(QStringLiteral("warning: rollback")).isEmpty());
    QVERIFY(m_log.filter(QStringLiteral("Starting deleting files")).isEmpty());
    QCOMPARE(treeSnapshot(m_dirs->appDir()), before);
}

void tst_MainTaskSpecification::badProductIniStopsBeforeDownloads_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("message");

    const QString md5 = md5Hex("x");
    QTest::newRow("three fields") << "zzz" << "abc" << "abc::12::"
                                  << "Warning: product ini contains invalid line in section zzz";
    QTest::newRow("key escapes the installation")
        << "zzz" << "../../escape" << md5 + "::1"
        << "Warning: product ini contains unsafe path ../../escape in section zzz";
    QTest::newRow("absolute unpacked name")
        << "zzz" << "c.gz" << QStringLiteral("%1::1::%1::1::/tmp/escape").arg(md5)
        << "Warning: product ini contains unsafe path /tmp/escape in section zzz";
    QTest::newRow("delete key escapes the installation")
        << "delete" << "../victim" << QString()
        << "Warning: product ini contains unsafe path ../victim in section delete";
}

void tst_MainTaskSpecification::badProductIniStopsBeforeDownloads()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, message);

    PipelineRelease release = makeRelease();
    release.addRawEntry(section, key, value);
    serve(release);
    install(olderInstallation());
    QVERIFY(TestDirs::writeFile(m_dirs->tempDir() + QStringLiteral("/victim"), "not the updater's"));
    const Tree before = treeSnapshot(m_dirs->appDir());

    run(false);
    QCOMPARE(m_root->state(), TaskSpecification::TaskErrorCanceled);
    QVERIFY2(m_log.contains(message), qPrintable(m_log.join('\n')));
    QCOMPARE(fileRequests(), 0);
    QCOMPARE(treeSnapshot(m_dirs->appDir()), before);
    QCOMPARE(TestDirs::readFile(m_dirs->tempDir() + QStringLiteral("/victim")), QByteArray("not the updater's"));
}

void tst_MainTaskSpecification::resetEmptiesLists()
{
    const PipelineRelease release = makeRelease();
    serve(release);
    run(true);
    QCOMPARE(m_root->state(), TaskSpecification::TaskFinished);

    // A new run after a reset compiles afresh: now everything is current.
    m_root->reset();
    QCOMPARE(m_root->state(), TaskSpecification::TaskIdle);
    QSignalSpy finished(m_root.get(), SIGNAL(finished(TaskSpecification*)));
    QSignalSpy messages(m_root.get(), SIGNAL(message(QString)));
    m_root->execute();
    QVERIFY(finished.wait(30000));
    QVERIFY(spyTexts(messages).contains(QStringLiteral("No downloads needed")));
    QVERIFY(spyTexts(messages).filter(QStringLiteral("add/replace")).isEmpty());
}

QTEST_MAIN(tst_MainTaskSpecification)
#include "tst_maintaskspecification.moc"
