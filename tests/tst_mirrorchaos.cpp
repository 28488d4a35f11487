// Whole update runs against five mirrors that misbehave at random: wrong
// statuses, redirects, stalls, resets, cut and corrupted bodies, endless data,
// slow trickles. One good mirror is enough for an exact installation; with
// none the run fails without touching the installation and can be resumed.

#include "clientinstallation.h"
#include "fakehttpserver.h"
#include "testdirs.h"
#include "updateinidata.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace ClientInstallation;

namespace {

const int Version = 7;
const int MirrorCount = 5;
const int RunTimeoutMs = 180000;
// Bad mirrors tolerated this long show more kinds of fault before they leave the pool.
const int BadMirrorRetries = 8;

struct ChaosCase
{
    QMap<QString, QByteArray> before;
    Release release;
};

ChaosCase chaosCase()
{
    QRandomGenerator rng(99);
    const auto bytes = [&rng](int size) {
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = char(rng.bounded(256));
        return data;
    };
    ChaosCase c;
    c.release.version = Version;
    c.release.pack = {QStringLiteral("*.pak")};
    for (int i = 0; i < 40; ++i) {
        const QString path = QStringLiteral("data/file_%1.dat").arg(i, 2, 10, QLatin1Char('0'));
        const QByteArray content = bytes(200 + int(rng.bounded(60000)));
        c.release.files.insert(path, content);
        if (i % 4 == 0)
            c.before.insert(path, content);
        else if (i % 4 == 1)
            c.before.insert(path, bytes(300));
    }
    for (int i = 0; i < 4; ++i)
        c.release.files.insert(QStringLiteral("paks/pak%1.pak").arg(i), QByteArray(20000 + i * 7000, char('a' + i)) + bytes(5000));
    c.release.files.insert(QStringLiteral("cv3client_linux_x86"), bytes(300000));
    c.before.insert(QStringLiteral("cv3client_linux_x86"), bytes(250000));
    c.release.files.insert(QStringLiteral("lib/libengine.so"), bytes(120000));
    c.release.files.insert(QStringLiteral("libQtCore.so.4"), bytes(90000));
    c.before.insert(QStringLiteral("libQtCore.so.4"), bytes(80000));
    c.release.files.insert(QStringLiteral("maps/north/tile.map"), bytes(40000));
    c.before.insert(QStringLiteral("obsolete.txt"), "gone soon\n");
    c.release.obsolete << QStringLiteral("obsolete.txt");
    return c;
}

// Every request path a run can make, with the size of what it fetches.
QMap<QString, qint64> servedPaths(const QString &mirrorRoot, const Release &release)
{
    QMap<QString, qint64> paths;
    const QString ini = release.iniRequestPath();
    paths.insert(ini, QFileInfo(mirrorRoot + ini).size());
    paths.insert(ini + QStringLiteral(".sig"), QFileInfo(mirrorRoot + ini + QStringLiteral(".sig")).size());
    for (const ProductIni::Entry &entry : release.published.ini.entries()) {
        const QString path = release.requestPath(entry.key);
        paths.insert(path, QFileInfo(mirrorRoot + path).size());
    }
    return paths;
}

// One way of failing to serve a file of the given size; never a faithful copy.
// Most kinds only count an error against the mirror, so a bad mirror stays in
// the pool for a while and shows more than one kind of fault.
FakeHttpServer::Behaviour misbehaviour(QRandomGenerator &rng, qint64 size, bool sizeKnown,
                                       const QByteArray &redirectTarget)
{
    using B = FakeHttpServer::Behaviour;
    const qint64 inside = size > 1 ? qint64(rng.bounded(quint64(size - 1))) : 0;
    const int r = int(rng.bounded(100));
    if (r < 4)
        return B::status(404);
    if (r < 7)
        return B::status(r % 2 ? 500 : 503);
    if (r < 10)
        return B::redirect(r % 2 ? 301 : 302, redirectTarget);
    if (r < 12)
        return B::authenticationDemand();
    if (r < 24)
        return B::stallAfter(inside);
    if (r < 36)
        return B::resetAfter(inside);
    if (r < 48)
        return B::truncateAfter(inside);
    if (r < 60)
        return B::corrupt(inside, 1 + qint64(rng.bounded(16)));
    if (r < 70) {
        B b = B::corrupt(inside);
        b.trickleBytes = 512;
        b.trickleIntervalMs = 2;
        return b;
    }
    if (r < 78) {
        B b = B::trickle(256, 3);
        b.stallAfterBytes = inside;
        return b;
    }
    if (r < 86)
        return B::silence();
    // Endless data only where the product ini promises a size the transfer can hold it to.
    return sizeKnown ? B::endlessData() : B::truncateAfter(inside);
}

// How often each kind of fault shows in a run's log.
QString faultSummary(const QStringList &log)
{
    const QList<QPair<QString, QString>> kinds = {
        {QStringLiteral("status or redirect"), QStringLiteral(" returned \\d+$")},
        {QStringLiteral("stall"), QStringLiteral(" timed out on mirror ")},
        {QStringLiteral("too much data"), QStringLiteral(" is larger than expected")},
        {QStringLiteral("bad checksum"), QStringLiteral("^md5 sum for ")},
        {QStringLiteral("bad signature"), QStringLiteral("^Could not verify the product ini file")},
        {QStringLiteral("mirror dropped after errors"), QStringLiteral("^Mirror .* failed too many times")},
        {QStringLiteral("connection fault"), QStringLiteral("(closed|reset|refused|Authentication|premature|Error)")},
    };
    QStringList parts;
    for (const auto &kind : kinds) {
        const QRegularExpression pattern(kind.second);
        qsizetype count = 0;
        for (const QString &line : log)
            count += pattern.match(line).hasMatch();
        parts << QStringLiteral("%1 %2").arg(count).arg(kind.first);
    }
    return parts.join(QStringLiteral(", "));
}

struct Mirrors5
{
    std::vector<std::unique_ptr<FakeHttpServer>> servers;
    int good = -1;   // index of the faithful mirror, -1: none

    bool start(const QString &root)
    {
        for (int i = 0; i < MirrorCount; ++i) {
            servers.push_back(std::make_unique<FakeHttpServer>(root));
            if (!servers.back()->listen())
                return false;
        }
        return true;
    }
    QStringList urls() const
    {
        QStringList result;
        for (const auto &server : servers)
            result << server->baseUrl();
        return result;
    }
    // Every mirror but the good one gets its own misbehaviour for every path
    // except those all mirrors serve faithfully.
    void makeBad(quint32 seed, const QMap<QString, qint64> &paths, const Release &release,
                 const QSet<QString> &faithful = QSet<QString>())
    {
        QRandomGenerator rng(seed);
        for (int i = 0; i < int(servers.size()); ++i) {
            if (i == good)
                continue;
            const FakeHttpServer *target = good >= 0 ? servers[size_t(good)].get() : servers[size_t((i + 1) % MirrorCount)].get();
            for (auto it = paths.cbegin(); it != paths.cend(); ++it) {
                if (faithful.contains(it.key()))
                    continue;
                const bool sizeKnown = it.key() != release.iniRequestPath()
                                       && it.key() != release.iniRequestPath() + QStringLiteral(".sig");
                servers[size_t(i)]->setBehaviour(
                    it.key(), misbehaviour(rng, it.value(), sizeKnown, (target->baseUrl() + it.key()).toUtf8()));
            }
        }
    }
    void makeAllGood()
    {
        for (const auto &server : servers) {
            server->clearBehaviours();
            server->resetCounts();
        }
    }
    int requestCount(const QString &path) const
    {
        int count = 0;
        for (const auto &server : servers)
            count += server->requestCount(path);
        return count;
    }
};

// Content and permissions of everything in the installation but the settings
// file, which holds the session record.
QMap<QString, QByteArray> installationSnapshot(const QString &appDir)
{
    QMap<QString, QByteArray> snapshot;
    QDirIterator it(appDir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(appDir).relativeFilePath(path);
        if (relative == QLatin1String("update.ini"))
            continue;
        const QFileInfo info(path);
        QByteArray entry = QByteArray::number(int(info.permissions()), 8) + ' ';
        entry += info.isDir() ? QByteArray("<dir>") : md5OfFile(path);
        snapshot.insert(relative, entry);
    }
    return snapshot;
}

} // namespace

class TestMirrorChaos : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void oneGoodMirrorIsEnough_data();
    void oneGoodMirrorIsEnough();
    void noGoodMirrorFailsCleanlyAndResumes();

private:
    QTemporaryDir m_mirrorRoot;
    ChaosCase m_case;
    QMap<QString, qint64> m_paths;
};

void TestMirrorChaos::initTestCase()
{
    QVERIFY(m_mirrorRoot.isValid());
    m_case = chaosCase();
    const QString published = publish(m_mirrorRoot.path(), &m_case.release);
    QVERIFY2(published.isEmpty(), qPrintable(published));
    m_paths = servedPaths(m_mirrorRoot.path(), m_case.release);
    for (auto it = m_paths.cbegin(); it != m_paths.cend(); ++it)
        QVERIFY2(it.value() > 1, qPrintable(it.key()));
}

void TestMirrorChaos::oneGoodMirrorIsEnough_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("goodMirror");
    QTest::newRow("seed 1, good mirror first") << 1u << 0;
    QTest::newRow("seed 2, good mirror third") << 2u << 2;
    QTest::newRow("seed 3, good mirror last") << 3u << 4;
}

void TestMirrorChaos::oneGoodMirrorIsEnough()
{
    QFETCH(quint32, seed);
    QFETCH(int, goodMirror);
    qInfo("mirror chaos seed %u, good mirror m%d", seed, goodMirror + 1);

    TestDirs dirs;
    QVERIFY(dirs.isValid());
    Mirrors5 mirrors;
    QVERIFY(mirrors.start(m_mirrorRoot.path()));
    mirrors.good = goodMirror;
    mirrors.makeBad(seed, m_paths, m_case.release);
    // The good mirror is slow with the largest file, which must not count as a stall.
    mirrors.servers[size_t(goodMirror)]->setBehaviour(m_case.release.requestPath(QStringLiteral("cv3client_linux_x86")),
                                                      FakeHttpServer::Behaviour::trickle(8192, 2));
    QVERIFY(writeMirrorsIni(dirs.appDir(), mirrors.urls(), BadMirrorRetries));
    QVERIFY(writeFiles(dirs.appDir(), m_case.before));

    const EngineRun run = runEngine(Version, RunTimeoutMs);
    qInfo("faults: %s", qPrintable(faultSummary(run.log)));
    QVERIFY2(run.finished, qPrintable(run.describe()));
    const QString diff = mismatch(dirs.appDir(), m_case.release);
    QVERIFY2(diff.isEmpty(), qPrintable(diff + QStringLiteral("\n") + run.describe()));
    QVERIFY(!hasSessionRecord(dirs.appDir()));
    QVERIFY(workingDirs(dirs.tempDir()).isEmpty());
}

void TestMirrorChaos::noGoodMirrorFailsCleanlyAndResumes()
{
    const quint32 seed = 17;
    qInfo("mirror chaos seed %u, no good mirror", seed);
    TestDirs dirs;
    QVERIFY(dirs.isValid());
    Mirrors5 mirrors;
    QVERIFY(mirrors.start(m_mirrorRoot.path()));
    // Bad mirrors still serve some files well: the product ini, its signature and
    // every third file, which the resumed run must not fetch again.
    QSet<QString> faithful = {m_case.release.iniRequestPath(), m_case.release.iniRequestPath() + QStringLiteral(".sig")};
    int index = 0;
    for (auto it = m_paths.cbegin(); it != m_paths.cend(); ++it, ++index) {
        if (index % 3 == 0)
            faithful.insert(it.key());
    }
    mirrors.makeBad(seed, m_paths, m_case.release, faithful);
    QVERIFY(writeMirrorsIni(dirs.appDir(), mirrors.urls(), BadMirrorRetries));
    QVERIFY(writeFiles(dirs.appDir(), m_case.before));
    const QMap<QString, QByteArray> before = installationSnapshot(dirs.appDir());

    const EngineRun failed = runEngine(Version, RunTimeoutMs);
    qInfo("faults: %s", qPrintable(faultSummary(failed.log)));
    QVERIFY2(failed.canceled && !failed.finished && !failed.timedOut, qPrintable(failed.describe()));
    QVERIFY2(failed.log.contains(QStringLiteral("There are no (more) known working mirrors available")),
             qPrintable(failed.describe()));
    QCOMPARE(installationSnapshot(dirs.appDir()), before);

    int version = 0;
    QString workDir;
    QVERIFY(UpdateIniData::get(&version, nullptr, &workDir));
    QCOMPARE(version, Version);
    const QSet<QString> verified = verifiedDownloads(workDir, m_case.release);

    mirrors.makeAllGood();
    const EngineRun resumed = runEngine(Version, RunTimeoutMs);
    QVERIFY2(resumed.finished, qPrintable(resumed.describe()));
    QVERIFY2(resumed.log.contains(QStringLiteral("Previous update session for v. %1 found").arg(Version)),
             qPrintable(resumed.describe()));
    const QString diff = mismatch(dirs.appDir(), m_case.release);
    QVERIFY2(diff.isEmpty(), qPrintable(diff + QStringLiteral("\n") + resumed.describe()));
    for (const QString &key : verified)
        QVERIFY2(mirrors.requestCount(m_case.release.requestPath(key)) == 0, qPrintable(key));
    // The failed run had verified the product ini; the resumed one takes it up.
    QCOMPARE(mirrors.requestCount(m_case.release.iniRequestPath()), 0);
    QVERIFY(!QFileInfo::exists(workDir));
}

QTEST_MAIN(TestMirrorChaos)
#include "tst_mirrorchaos.moc"
