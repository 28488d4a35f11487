// Updates interrupted by a crash: states a killed run leaves behind, and the real
// updater killed with SIGKILL at many moments of its download and installation,
// each time followed by a second run that must leave exactly the release.

#include "clientinstallation.h"
#include "fakehttpserver.h"
#include "testdirs.h"
#include "updateinidata.h"

#include <QApplication>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <unistd.h>

using namespace ClientInstallation;

namespace {

const int SmallVersion = 201;
const int BigVersion = 101;
// At least this many runs must really be killed before they end by themselves.
const int RequiredKills = 30;
const int Moments = 36;
const int Lanes = 2;
const quint32 DefaultSeed = 20261211;

QByteArray randomBytes(QRandomGenerator &rng, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QVector<quint32> words((size + 3) / 4);
    rng.fillRange(words.data(), words.size());
    memcpy(data.data(), words.constData(), size_t(size));
    return data;
}

// Text-like bytes, so gzip has something to do.
QByteArray textBytes(QRandomGenerator &rng, int size)
{
    static const char *const words[] = {"corvane ", "client ", "mirror ", "release ", "tile ", "map\n", "zone ", "0x1f "};
    QByteArray data;
    data.reserve(size + 16);
    while (data.size() < size)
        data += words[rng.bounded(8)];
    data.truncate(size);
    return data;
}

// An installation before the update and the release it is updated to.
struct UpdateCase
{
    QMap<QString, QByteArray> before;
    Release release;

    enum Kind { Same, Changed, New };
    void add(const QString &path, const QByteArray &newContent, Kind kind, const QByteArray &oldContent)
    {
        release.files.insert(path, newContent);
        if (kind == Same)
            before.insert(path, newContent);
        else if (kind == Changed)
            before.insert(path, oldContent);
    }
    void addObsolete(const QString &path, const QByteArray &content)
    {
        before.insert(path, content);
        release.obsolete.append(path);
    }
    // Fetches a fresh run makes: product ini, signature, and every entry whose installed file differs.
    int freshRunRequests() const
    {
        int requests = 2;
        for (auto it = release.files.cbegin(); it != release.files.cend(); ++it)
            requests += before.value(it.key()) != it.value() || !before.contains(it.key());
        return requests;
    }
};

// A few hundred files: unchanged, changed and new ones, packed ones, program files,
// libraries, special files in the application directory and in plug-in
// directories, files in new sub-directories, and obsolete files.
UpdateCase bigCase(quint32 seed)
{
    QRandomGenerator rng(seed);
    UpdateCase c;
    c.release.version = BigVersion;
    c.release.pack = {QStringLiteral("*.map"), QStringLiteral("*.pak"), QStringLiteral("libphysics.so")};
    const auto bytes = [&rng](int size) { return randomBytes(rng, size); };
    const auto text = [&rng](int size) { return textBytes(rng, size); };

    for (int i = 0; i < 240; ++i) {
        const int size = 256 + int(rng.bounded(24000));
        const UpdateCase::Kind kind = i % 5 < 2 ? UpdateCase::Same : i % 5 < 4 ? UpdateCase::Changed : UpdateCase::New;
        c.add(QStringLiteral("data/file_%1.dat").arg(i, 3, 10, QLatin1Char('0')), bytes(size), kind, bytes(size / 2 + 1));
    }
    for (int region = 0; region < 4; ++region) {
        for (int tile = 0; tile < 10; ++tile)
            c.add(QStringLiteral("maps/region_%1/tile_%2.map").arg(region).arg(tile), text(2000 + int(rng.bounded(18000))),
                  UpdateCase::New, QByteArray());
    }
    c.add(QStringLiteral("maps/region_3/deep/a/b/notes.txt"), text(500), UpdateCase::New, QByteArray());
    for (int i = 0; i < 6; ++i) {
        const UpdateCase::Kind kind = i < 4 ? UpdateCase::Changed : i == 4 ? UpdateCase::Same : UpdateCase::New;
        c.add(QStringLiteral("paks/pak%1.pak").arg(i), text(300000 + int(rng.bounded(900000))), kind, text(100000));
    }
    c.add(QStringLiteral("lib/libengine.so"), bytes(1500000), UpdateCase::Changed, bytes(1400000));
    c.add(QStringLiteral("lib/libsound.so.4"), bytes(200000), UpdateCase::New, QByteArray());
    c.add(QStringLiteral("lib/libphysics.so"), text(400000), UpdateCase::Changed, text(300000));
    c.add(QStringLiteral("lib/plugin.so.4.1"), bytes(10000), UpdateCase::Changed, bytes(9000));
    c.add(QStringLiteral("lib/libnet.plugin.so"), bytes(10000), UpdateCase::Changed, bytes(9000));
    c.add(QStringLiteral("cv3client_linux_x86"), bytes(2500000), UpdateCase::Changed, bytes(2400000));
    c.add(QStringLiteral("cv3client_linux_amd64"), bytes(100000), UpdateCase::Same, QByteArray());
    c.add(QStringLiteral("cv3client_runscript.sh"), "#!/bin/sh\nexit 0\n# 101\n", UpdateCase::Changed,
          "#!/bin/sh\nexit 0\n# 100\n");
    c.add(QStringLiteral("error_report"), bytes(50000), UpdateCase::New, QByteArray());
    c.add(QStringLiteral("package_inst"), bytes(30000), UpdateCase::Changed, bytes(29000));
    c.add(QStringLiteral("libQtCore.so.4"), bytes(800000), UpdateCase::Changed, bytes(790000));
    c.add(QStringLiteral("libQtGui.so.4"), bytes(300000), UpdateCase::Same, QByteArray());
    c.add(QStringLiteral("imageformats/libqgif.so"), bytes(40000), UpdateCase::Changed, bytes(39000));
    c.add(QStringLiteral("imageformats/libqjpeg.so"), bytes(40000), UpdateCase::New, QByteArray());
    c.add(QStringLiteral("accessible/libqtaccessiblewidgets.so"), bytes(60000), UpdateCase::New, QByteArray());
    for (int i = 0; i < 8; ++i)
        c.addObsolete(QStringLiteral("old/obsolete_%1.txt").arg(i), text(3000));
    c.addObsolete(QStringLiteral("libOldStuff.so"), bytes(20000));
    return c;
}

// Six files, each standing for one kind of file an interrupted install can leave half-done.
UpdateCase smallCase()
{
    QRandomGenerator rng(7);
    UpdateCase c;
    c.release.version = SmallVersion;
    c.release.pack = {QStringLiteral("libz.so")};
    c.add(QStringLiteral("data/changed.dat"), randomBytes(rng, 30000), UpdateCase::Changed, randomBytes(rng, 20000));
    c.add(QStringLiteral("readme.txt"), "read me\n", UpdateCase::Same, QByteArray());
    c.add(QStringLiteral("cv3client_linux_x86"), randomBytes(rng, 50000), UpdateCase::Changed, randomBytes(rng, 40000));
    c.add(QStringLiteral("lib/libz.so"), textBytes(rng, 60000), UpdateCase::Changed, textBytes(rng, 50000));
    c.add(QStringLiteral("libQtCore.so.4"), randomBytes(rng, 40000), UpdateCase::Changed, randomBytes(rng, 30000));
    c.add(QStringLiteral("imageformats/libqgif.so"), randomBytes(rng, 20000), UpdateCase::Changed,
          randomBytes(rng, 10000));
    c.addObsolete(QStringLiteral("old.txt"), "old\n");
    return c;
}

// The start-up clean-up the program makes before anything else.
void removeOldFilesAsAtStart(const QString &appDir)
{
    UpdateEngine::removeOldFiles(appDir);
    UpdateEngine::removeOldFiles(appDir + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(appDir + QStringLiteral("/accessible"));
}

QString oldCopyOf(const QString &path)
{
    const QFileInfo info(path);
    const QString dir = info.path() == QLatin1String(".") ? QString() : info.path() + QLatin1Char('/');
    return dir + Configuration::getSpecialFileRenamePrefix() + info.fileName();
}

QString stagedCopyOf(const QString &path)
{
    const QFileInfo info(path);
    const QString dir = info.path() == QLatin1String(".") ? QString() : info.path() + QLatin1Char('/');
    return dir + QStringLiteral("_new_") + info.fileName();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// --- the real program, started and killed as a process ---

struct ProcessRun
{
    bool started = false;
    bool killed = false;
    bool timedOut = false;
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::NormalExit;
    QByteArray output;
    qint64 lastRequestToDoneMs = -1;

    bool endedWell() const { return started && !timedOut && status == QProcess::NormalExit && exitCode == 0; }
    QString describe() const
    {
        return QStringLiteral("started %1, killed %2, timed out %3, crashed %4, exit code %5, output:\n%6")
            .arg(started).arg(killed).arg(timedOut).arg(status == QProcess::CrashExit).arg(exitCode)
            .arg(QString::fromLocal8Bit(output.right(4000)));
    }
};

struct ProcessOptions
{
    int killAtRequest = 0;   // 0: never
    int killDelayMs = 0;     // after that request reached the mirror
    int measureFromRequest = 0; // measure from this request until the working directory is gone
    int timeoutMs = 120000;
};

ProcessRun runUpdater(const QString &appDir, const QString &tempDir, FakeHttpServer &mirror, int version,
                      const ProcessOptions &options)
{
    ProcessRun run;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tempDir);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(tempDir);
    process.setProcessChannelMode(QProcess::MergedChannels);

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer killTimer;
    killTimer.setSingleShot(true);
    QObject::connect(&killTimer, &QTimer::timeout, &loop, [&] {
        if (process.state() == QProcess::Running) {
            process.kill();
            run.killed = true;
        }
    });
    QElapsedTimer sinceRequest;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, &loop, [&] {
        if (workingDirs(tempDir).isEmpty()) {
            run.lastRequestToDoneMs = sinceRequest.elapsed();
            probe.stop();
        }
    });
    int requests = 0;
    const QMetaObject::Connection counting
        = QObject::connect(&mirror, &FakeHttpServer::requestReceived, &loop, [&] {
              ++requests;
              if (requests == options.killAtRequest)
                  killTimer.start(options.killDelayMs);
              if (requests == options.measureFromRequest) {
                  sinceRequest.start();
                  probe.start(2);
              }
          });
    QObject::connect(&process, &QProcess::readyRead, &loop, [&] { run.output += process.readAll(); });
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);

    process.start(appDir + QStringLiteral("/update"),
                  {QStringLiteral("--nouser"), ClientType, QString::number(version)});
    run.started = process.waitForStarted(10000);
    if (run.started) {
        deadline.start(options.timeoutMs);
        if (process.state() == QProcess::Running)
            loop.exec();
    }
    QObject::disconnect(counting);
    if (process.state() != QProcess::NotRunning) {
        run.timedOut = true;
        process.kill();
        process.waitForFinished(10000);
    }
    run.output += process.readAll();
    run.exitCode = process.exitCode();
    run.status = process.exitStatus();
    run.killed = run.killed && run.status == QProcess::CrashExit;
    return run;
}

// The installation directory is the executable's directory, so each installation
// gets the updater itself: a hard link where possible, else a copy.
bool installUpdater(const QString &updater, const QString &appDir)
{
    const QString target = appDir + QStringLiteral("/update");
    if (::link(QFile::encodeName(updater).constData(), QFile::encodeName(target).constData()) != 0
        && !QFile::copy(updater, target))
        return false;
    return QFileInfo(target).isExecutable();
}

QString updaterPath()
{
    const QString buildDir = qEnvironmentVariable("CORVANE_BUILD_DIR");
    if (!buildDir.isEmpty())
        return buildDir + QStringLiteral("/update");
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../update");
}

struct KillMoment
{
    int request = 0;
    int delayMs = 0;
    bool installing = false;

    QString describe() const
    {
        return QStringLiteral("%1 ms after request %2 (%3)").arg(delayMs).arg(request)
            .arg(installing ? QLatin1String("installation") : QLatin1String("download"));
    }
};

struct CycleResult
{
    bool killed = false;
    QString stateAtKill;
    QString failure;
};

// Everything a lane needs, read-only while lanes run.
struct CrashSetup
{
    UpdateCase updateCase;
    QString mirrorRoot;
    QString workRoot;
    QString updater;
    QList<KillMoment> moments;
    int mirrorEntries = 3;
};

bool prepareInstallation(const CrashSetup &setup, const QString &appDir, const QString &tempDir,
                         const FakeHttpServer &mirror)
{
    if (!QDir().mkpath(appDir) || !QDir().mkpath(tempDir))
        return false;
    if (!writeFiles(appDir, setup.updateCase.before) || !installUpdater(setup.updater, appDir))
        return false;
    // Several entries for the one server, so that several files travel at once.
    QStringList urls;
    for (int i = 0; i < setup.mirrorEntries; ++i)
        urls << mirror.baseUrl();
    return writeMirrorsIni(appDir, urls);
}

QString checkCompletedRun(const CrashSetup &setup, const QString &appDir, const QString &tempDir)
{
    QStringList problems;
    const QString diff = mismatch(appDir, setup.updateCase.release);
    if (!diff.isEmpty())
        problems << diff;
    if (!workingDirs(tempDir).isEmpty())
        problems << QStringLiteral("working directory left: %1").arg(workingDirs(tempDir).join(QLatin1Char(' ')));
    if (hasSessionRecord(appDir))
        problems << QStringLiteral("session record left in update.ini");
    return problems.join(QLatin1Char('\n'));
}

CycleResult runCycle(const CrashSetup &setup, FakeHttpServer &mirror, const KillMoment &moment)
{
    CycleResult result;
    QTemporaryDir cycleDir(setup.workRoot + QStringLiteral("/cycle-XXXXXX"));
    const QString appDir = cycleDir.path() + QStringLiteral("/app");
    const QString tempDir = cycleDir.path() + QStringLiteral("/tmp");
    if (!cycleDir.isValid() || !prepareInstallation(setup, appDir, tempDir, mirror)) {
        result.failure = QStringLiteral("could not prepare the installation");
        return result;
    }
    const Release &release = setup.updateCase.release;

    ProcessOptions killing;
    killing.killAtRequest = moment.request;
    killing.killDelayMs = moment.delayMs;
    const ProcessRun first = runUpdater(appDir, tempDir, mirror, release.version, killing);
    result.killed = first.killed;
    if (!first.killed && !first.endedWell()) {
        result.failure = QStringLiteral("the first run was neither killed nor successful: %1").arg(first.describe());
        return result;
    }

    const QStringList dirs = workingDirs(tempDir);
    const QSet<QString> verified
        = dirs.isEmpty() ? QSet<QString>() : verifiedDownloads(tempDir + QLatin1Char('/') + dirs.first(), release);
    int setAside = 0;
    for (const QString &file : filesBelow(appDir))
        setAside += QFileInfo(file).fileName().startsWith(Configuration::getSpecialFileRenamePrefix());
    result.stateAtKill = QStringLiteral("%1 of %2 fetches made, %3 downloads verified, %4 set-aside copies%5")
                             .arg(mirror.totalRequests()).arg(setup.updateCase.freshRunRequests())
                             .arg(verified.size()).arg(setAside)
                             .arg(hasSessionRecord(appDir) ? QString() : QStringLiteral(", no session"));

    mirror.resetCounts();
    const ProcessRun second = runUpdater(appDir, tempDir, mirror, release.version, ProcessOptions());
    QStringList problems;
    if (!second.endedWell())
        problems << QStringLiteral("second run: %1").arg(second.describe());
    const QString state = checkCompletedRun(setup, appDir, tempDir);
    if (!state.isEmpty())
        problems << state;
    for (const QString &key : verified) {
        if (mirror.requestCount(release.requestPath(key)) > 0)
            problems << QStringLiteral("fetched again although verified in the working directory: %1").arg(key);
    }
    if (!problems.isEmpty()) {
        cycleDir.setAutoRemove(false);
        problems << QStringLiteral("installation kept in %1").arg(cycleDir.path());
        result.failure = problems.join(QLatin1Char('\n'));
    }
    return result;
}

} // namespace

class TestCrashRecovery : public QObject
{
    Q_OBJECT

private slots:
    void interruptedInstallation_data();
    void interruptedInstallation();
    void killedAtRandomMoments();
};

enum Interruption {
    FileSetAside,           // renamed to its "_old_" name, new copy not yet written
    FilePartlyCopied,       // set aside, new copy cut short
    OldCopyNotDeleted,      // new file in place, set-aside copy not yet deleted
    ProgramNotExecutable,   // new program file in place, permissions not yet set
    PackedNotExecutable,    // unpacked library in place, permissions not yet set
    SpecialFileSetAside,    // the updater's own library set aside, new copy not yet written
    SpecialPluginSetAside,  // the same for an image-format plug-in
    NewCopyPartlyStaged,    // new copy cut short under its "_new_" name, file untouched
    StagedAndSetAside,      // new copy staged whole, file also linked aside, not yet in place
    StaleStagedCopy,        // file current, a stale staged copy of it left beside
};

void TestCrashRecovery::interruptedInstallation_data()
{
    QTest::addColumn<int>("interruption");
    QTest::addColumn<bool>("firstRunFails");

    const QList<QPair<const char *, Interruption>> states = {
        {"file set aside", FileSetAside},
        {"file partly copied", FilePartlyCopied},
        {"old copy not deleted", OldCopyNotDeleted},
        {"program not executable", ProgramNotExecutable},
        {"unpacked library not executable", PackedNotExecutable},
        {"special file set aside", SpecialFileSetAside},
        {"special plug-in set aside", SpecialPluginSetAside},
        {"new copy partly staged", NewCopyPartlyStaged},
        {"new copy staged, file linked aside", StagedAndSetAside},
        {"stale staged copy beside a current file", StaleStagedCopy},
    };
    for (const auto &state : states) {
        QTest::addRow("%s", state.first) << int(state.second) << false;
        QTest::addRow("%s, mirrors down first", state.first) << int(state.second) << true;
    }
}

// The disk as a run killed in the middle of its installation leaves it. The next
// start and run must finish the release; a run that fails first must lose no file.
void TestCrashRecovery::interruptedInstallation()
{
    QFETCH(int, interruption);
    QFETCH(bool, firstRunFails);

    TestDirs dirs;
    QVERIFY(dirs.isValid());
    QTemporaryDir mirrorRoot;
    UpdateCase c = smallCase();
    const QString published = publish(mirrorRoot.path(), &c.release);
    QVERIFY2(published.isEmpty(), qPrintable(published));
    FakeHttpServer mirror(mirrorRoot.path());
    QVERIFY(mirror.listen());
    QVERIFY(writeMirrorsIni(dirs.appDir(), {mirror.baseUrl()}));
    QVERIFY(writeFiles(dirs.appDir(), c.before));

    const QString app = dirs.appDir() + QLatin1Char('/');
    const auto setAside = [&](const QString &path) { QVERIFY(QFile::rename(app + path, app + oldCopyOf(path))); };
    const auto writeNew = [&](const QString &path, int length) {
        const QByteArray content = c.release.files.value(path);
        QVERIFY(ReleaseFixture::writeFile(app + path, length < 0 ? content : content.left(length)));
        QVERIFY(QFile::setPermissions(app + path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                      | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    };
    const auto writeStaged = [&](const QString &path, int length) {
        const QByteArray content = c.release.files.value(path);
        QVERIFY(ReleaseFixture::writeFile(app + stagedCopyOf(path), length < 0 ? content : content.left(length)));
    };
    switch (Interruption(interruption)) {
    case FileSetAside:
        setAside(QStringLiteral("data/changed.dat"));
        break;
    case FilePartlyCopied:
        setAside(QStringLiteral("data/changed.dat"));
        writeNew(QStringLiteral("data/changed.dat"), 1000);
        break;
    case OldCopyNotDeleted:
        setAside(QStringLiteral("data/changed.dat"));
        writeNew(QStringLiteral("data/changed.dat"), -1);
        break;
    case ProgramNotExecutable:
        setAside(QStringLiteral("cv3client_linux_x86"));
        writeNew(QStringLiteral("cv3client_linux_x86"), -1);
        break;
    case PackedNotExecutable:
        setAside(QStringLiteral("lib/libz.so"));
        writeNew(QStringLiteral("lib/libz.so"), -1);
        break;
    case SpecialFileSetAside:
        setAside(QStringLiteral("libQtCore.so.4"));
        break;
    case SpecialPluginSetAside:
        setAside(QStringLiteral("imageformats/libqgif.so"));
        break;
    case NewCopyPartlyStaged:
        writeStaged(QStringLiteral("lib/libz.so"), 1000);
        break;
    case StagedAndSetAside:
        QVERIFY(QFile::copy(app + QStringLiteral("data/changed.dat"), app + oldCopyOf(QStringLiteral("data/changed.dat"))));
        writeStaged(QStringLiteral("data/changed.dat"), -1);
        break;
    case StaleStagedCopy:
        writeStaged(QStringLiteral("readme.txt"), 3);
        break;
    }
    if (firstRunFails) {
        mirror.setDefaultBehaviour(FakeHttpServer::Behaviour::status(503));
        removeOldFilesAsAtStart(dirs.appDir());
        const EngineRun failed = runEngine(SmallVersion, 30000);
        QVERIFY2(failed.canceled && !failed.finished, qPrintable(failed.describe()));
        // Every file keeps what it held before the update (at its name or at its
        // set-aside name) unless it already holds the new release.
        for (auto it = c.before.cbegin(); it != c.before.cend(); ++it) {
            const QByteArray atName = readAll(app + it.key());
            const QByteArray aside = readAll(app + oldCopyOf(it.key()));
            const bool kept = atName == it.value() || aside == it.value()
                              || atName == c.release.files.value(it.key());
            QVERIFY2(kept, qPrintable(QStringLiteral("lost: %1").arg(it.key())));
            if (Configuration::isSpecialFileName(QFileInfo(it.key()).fileName()))
                QVERIFY2(QFileInfo::exists(app + it.key()),
                         qPrintable(QStringLiteral("special file not back in place: %1").arg(it.key())));
        }
        mirror.clearBehaviours();
    }

    removeOldFilesAsAtStart(dirs.appDir());
    const EngineRun run = runEngine(SmallVersion, 30000);
    QVERIFY2(run.finished, qPrintable(run.describe()));
    const QString diff = mismatch(dirs.appDir(), c.release);
    QVERIFY2(diff.isEmpty(), qPrintable(diff + QStringLiteral("\n") + run.describe()));
    QVERIFY(!hasSessionRecord(dirs.appDir()));
}

// The real program, killed with SIGKILL at moments spread over its download and
// installation stages and then started again for the same version. The moments
// come from a seed that is printed (CORVANE_CRASH_SEED chooses another).
void TestCrashRecovery::killedAtRandomMoments()
{
    TestDirs dirs;
    QVERIFY(dirs.isValid());
    bool seedGiven = false;
    const quint32 seed = qEnvironmentVariable("CORVANE_CRASH_SEED").toUInt(&seedGiven);
    const quint32 killSeed = seedGiven ? seed : DefaultSeed;

    QTemporaryDir mirrorRoot;
    QTemporaryDir workRoot;
    QVERIFY(mirrorRoot.isValid() && workRoot.isValid());
    CrashSetup setup;
    setup.updateCase = bigCase(4711);
    setup.mirrorRoot = mirrorRoot.path();
    setup.workRoot = workRoot.path();
    setup.updater = updaterPath();
    QVERIFY2(QFileInfo(setup.updater).isExecutable(), qPrintable(setup.updater));
    // The release replaces the updater itself with the same program plus a few bytes, so
    // every second run starts whatever copy the killed run left under the name "update".
    QFile updaterFile(setup.updater);
    QVERIFY(updaterFile.open(QIODevice::ReadOnly));
    setup.updateCase.release.files.insert(QStringLiteral("update"), updaterFile.readAll() + "\n# release 101\n");
    updaterFile.close();
    const QString published = publish(setup.mirrorRoot, &setup.updateCase.release);
    QVERIFY2(published.isEmpty(), qPrintable(published));
    const int lastRequest = setup.updateCase.freshRunRequests();

    // An uninterrupted run first: it must succeed, and it measures how long the
    // installation takes after the last fetch reached the mirror.
    FakeHttpServer mirror(setup.mirrorRoot);
    QVERIFY(mirror.listen());
    QTemporaryDir referenceDir(setup.workRoot + QStringLiteral("/reference-XXXXXX"));
    const QString refApp = referenceDir.path() + QStringLiteral("/app");
    const QString refTemp = referenceDir.path() + QStringLiteral("/tmp");
    QVERIFY(prepareInstallation(setup, refApp, refTemp, mirror));
    ProcessOptions measuring;
    measuring.measureFromRequest = lastRequest;
    const ProcessRun reference = runUpdater(refApp, refTemp, mirror, setup.updateCase.release.version, measuring);
    QVERIFY2(reference.endedWell(), qPrintable(reference.describe()));
    const QString referenceState = checkCompletedRun(setup, refApp, refTemp);
    QVERIFY2(referenceState.isEmpty(), qPrintable(referenceState));
    QCOMPARE(mirror.totalRequests(), lastRequest);
    QVERIFY(reference.lastRequestToDoneMs >= 0);
    const int installWindowMs = int(qMax<qint64>(reference.lastRequestToDoneMs, 20));

    QRandomGenerator rng(killSeed);
    QSet<QPair<int, int>> chosen;
    while (setup.moments.size() < Moments) {
        KillMoment moment;
        moment.installing = setup.moments.size() % 2 == 1;
        moment.request = moment.installing ? lastRequest : 1 + int(rng.bounded(lastRequest));
        moment.delayMs = int(rng.bounded(moment.installing ? installWindowMs : 20));
        if (chosen.contains({moment.request, moment.delayMs}))
            continue;
        chosen.insert({moment.request, moment.delayMs});
        setup.moments.append(moment);
    }
    qInfo("crash recovery seed %u: %d moments, %d fetches per fresh run, installation window %d ms", killSeed,
          Moments, lastRequest, installWindowMs);

    std::vector<CycleResult> results(Moments);
    QList<QThread *> lanes;
    for (int lane = 0; lane < Lanes; ++lane) {
        lanes << QThread::create([&setup, &results, lane] {
            FakeHttpServer laneMirror(setup.mirrorRoot);
            const bool listening = laneMirror.listen();
            for (int i = lane; i < setup.moments.size(); i += Lanes) {
                if (!listening) {
                    results[i].failure = QStringLiteral("mirror did not listen");
                    continue;
                }
                laneMirror.resetCounts();
                results[i] = runCycle(setup, laneMirror, setup.moments.at(i));
            }
        });
        lanes.last()->start();
    }
    for (QThread *lane : std::as_const(lanes)) {
        lane->wait();
        delete lane;
    }

    int kills = 0;
    QStringList failures;
    for (int i = 0; i < int(results.size()); ++i) {
        const CycleResult &result = results.at(i);
        kills += result.killed;
        qInfo("moment %2d: %s: %s%s", i, qPrintable(setup.moments.at(i).describe()),
              result.killed ? qPrintable(QStringLiteral("killed, ") + result.stateAtKill) : "ended before the kill",
              result.failure.isEmpty() ? ", second run exact" : ", FAILED");
        if (!result.failure.isEmpty())
            failures << QStringLiteral("moment %1 (%2):\n%3").arg(i).arg(setup.moments.at(i).describe(), result.failure);
    }
    qInfo("crash recovery: %d runs killed, %d second runs checked, %lld failed", kills, int(results.size()),
          qint64(failures.size()));
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QStringLiteral("\n\n"))));
    QVERIFY2(kills >= RequiredKills, qPrintable(QStringLiteral("only %1 runs were killed").arg(kills)));
}

int main(int argc, char *argv[])
{
    // Dozens of real runs of the program; the default per-function limit is too tight on a loaded machine.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "900000");
    QApplication app(argc, argv);
    TestCrashRecovery test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crashrecovery.moc"
