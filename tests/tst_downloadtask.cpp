#include "downloadtaskspecification.h"
#include "fakehttpserver.h"
#include "mirrors.h"
#include "testdirs.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <vector>

using Behaviour = FakeHttpServer::Behaviour;
Q_DECLARE_METATYPE(FakeHttpServer::Behaviour)

namespace {

QByteArray pattern(int size, char seed)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(seed + i % 251);
    return data;
}

} // namespace

// Transfers against in-process mirrors: mirror i is named "M<i>", serves its own
// directory, and sits in the pool with 2 retries; the target version is 12.
class tst_DownloadTask : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dirs.reset(new TestDirs);
        QVERIFY(m_dirs->isValid());
        m_manager.reset(new QNetworkAccessManager);
        m_manager->setProxy(QNetworkProxy::NoProxy);
        m_owner.reset(new QObject);
        m_log.clear();
        Mirrors::seedRandom(1);
    }

    void cleanup()
    {
        m_owner.reset();
        m_pool.reset();
        m_servers.clear();
        m_manager.reset();
        m_dirs.reset();
    }

    void success_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<int>("size");
        QTest::addColumn<qint64>("expected");

        QTest::newRow("known size") << Behaviour() << 10000 << qint64(10000);
        QTest::newRow("unknown size") << Behaviour() << 10000 << qint64(-1);
        QTest::newRow("no Content-Length, unknown size") << Behaviour::noContentLength() << 10000 << qint64(-1);
        QTest::newRow("exact chunk multiple") << Behaviour() << 3 * 4096 << qint64(3 * 4096);
        QTest::newRow("slow trickle") << Behaviour::trickle(333, 1) << 5000 << qint64(5000);
        QTest::newRow("one byte") << Behaviour() << 1 << qint64(1);
        QTest::newRow("empty file") << Behaviour() << 0 << qint64(-1);
        QTest::newRow("large, unknown size") << Behaviour() << 3 * 1024 * 1024 + 17 << qint64(-1);
    }

    // The exact file, closed, the mirror given back and its name kept, each end signal once.
    void success()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(int, size);
        QFETCH(qint64, expected);

        startMirrors(1);
        const QByteArray data = pattern(size, 'a');
        putFile(0, "sub dir/data.bin", data);
        m_servers[0]->setDefaultBehaviour(behaviour);

        DownloadTaskSpecification *task = makeTask("sub dir/data.bin", expected, 0.8);
        QSignalSpy finished(task, &TaskSpecification::finished);
        QSignalSpy canceled(task, &TaskSpecification::canceled);
        QSignalSpy progress(task, &TaskSpecification::updateProgress);
        task->execute();
        QCOMPARE(task->state(), TaskSpecification::TaskRunning);
        QVERIFY(waitForEnd(task));

        QCOMPARE(task->state(), TaskSpecification::TaskFinished);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(canceled.count(), 0);
        QCOMPARE(task->progress(), 0.8);
        QCOMPARE(TestDirs::readFile(task->localFile()), data);
        QCOMPARE(QFileInfo(task->localFile()).size(), qint64(size));
        QCOMPARE(inUse(), 0);
        QCOMPARE(task->mirrorData().name, QString("M0"));
        QCOMPARE(m_log, QStringList({ "task: Downloading sub dir/data.bin",
                                      "task: Downloading sub dir/data.bin finished" }));
        QCOMPARE(collapsed(m_servers[0]->requestedPaths()), QStringList({ "/files/12/sub dir/data.bin" }));
        for (const QList<QVariant> &emitted : progress) // never beyond the share
            QVERIFY(emitted.at(0).toDouble() <= 0.8);

        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
        QCOMPARE(done, quint64(size));
        // An unknown size is learned from the reply (which reports the size at the end when no header told it).
        const qint64 learned = expected > 0 ? expected : size;
        QCOMPARE(total, quint64(learned));
        QVERIFY(!downloading);
    }

    // A reply without an HTTP status (another scheme, here a local directory) is not judged by status.
    void replyWithoutStatusIsAccepted()
    {
        const QByteArray data = pattern(9000, 's');
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("local/12/data.bin"), data));
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("mirrors.ini"),
                                    "[mirrors]\nsize=1\n1\\mirror=Disk\n[Disk]\nurl="
                                        + QUrl::fromLocalFile(m_dirs->appFile("local")).toEncoded() + "\n"));
        m_pool.reset(new Mirrors);
        QVERIFY(m_pool->initDefault(m_dirs->appFile("mirrors.ini"), 12));
        DownloadTaskSpecification *task = makeTask("data.bin", 9000);
        task->execute();
        QVERIFY(waitForEnd(task));
        QCOMPARE(task->state(), TaskSpecification::TaskFinished);
        QCOMPARE(TestDirs::readFile(task->localFile()), data);
        QCOMPARE(m_log.size(), 2);
    }

    void failingStatusRemovesTheMirrorAtOnce_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<int>("code");

        QTest::newRow("404") << Behaviour::status(404) << 404;
        QTest::newRow("500") << Behaviour::status(500) << 500;
        QTest::newRow("206 partial content") << Behaviour::status(206, pattern(100, 'a')) << 206;
        QTest::newRow("301 to another path") << Behaviour::redirect(301, "/files/12/elsewhere.bin") << 301;
        QTest::newRow("302 to another mirror") << Behaviour::redirect(302, "http://127.0.0.1:1/x") << 302;
        QTest::newRow("authentication demand") << Behaviour::authenticationDemand() << 401;
    }

    void failingStatusRemovesTheMirrorAtOnce()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(int, code);

        startMirrors(2);
        const QByteArray data = pattern(5000, 'b');
        putEverywhere("data.bin", data);
        putFile(0, "elsewhere.bin", data);
        m_servers[0]->setDefaultBehaviour(behaviour);
        seedFirstPick(0);

        DownloadTaskSpecification *task = makeTask("data.bin", 5000);
        task->execute();
        QVERIFY(waitForEnd(task));

        QCOMPARE(task->state(), TaskSpecification::TaskFinished);
        QCOMPARE(TestDirs::readFile(task->localFile()), data);
        QCOMPARE(collapsed(m_servers[0]->requestedPaths()), QStringList({ "/files/12/data.bin" })); // never followed
        QCOMPARE(collapsed(m_servers[1]->requestedPaths()), QStringList({ "/files/12/data.bin" }));
        QCOMPARE(mirrorNames(), QStringList({ "M1" }));
        QVERIFY(!m_log.join('\n').contains("failed too many times"));
        QCOMPARE(m_log.size(), 3);
        const QString returned = QString("task: %1/files/12/data.bin returned %2").arg(m_servers[0]->baseUrl()).arg(code);
        if (code != 401) // an authentication demand may also end the reply before its status is seen
            QCOMPARE(m_log.at(1), returned);
        QCOMPARE(task->mirrorData().name, QString("M1"));
    }

    void failedAttemptCountsAnErrorAndRetriesElsewhere_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<qint64>("expected");
        QTest::addColumn<QString>("reason");

        QTest::newRow("reset after 1000 bytes") << Behaviour::resetAfter(1000) << qint64(20000) << QString();
        QTest::newRow("truncated after 1000 bytes") << Behaviour::truncateAfter(1000) << qint64(20000) << QString();
        QTest::newRow("truncated, unknown size") << Behaviour::truncateAfter(9000) << qint64(-1) << QString();
        QTest::newRow("one byte more than expected")
            << Behaviour::content(pattern(20001, 'c')) << qint64(20000)
            << "file data.bin on mirror M0 is larger than expected";
        QTest::newRow("endless data, size known")
            << Behaviour::endlessData() << qint64(20000) << "file data.bin on mirror M0 is larger than expected";
    }

    // The failed mirror keeps its place with one error; the partial file is gone before the next attempt.
    void failedAttemptCountsAnErrorAndRetriesElsewhere()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(qint64, expected);
        QFETCH(QString, reason);

        startMirrors(2);
        const QByteArray data = pattern(20000, 'c');
        putEverywhere("data.bin", data);
        m_servers[0]->setDefaultBehaviour(behaviour);
        seedFirstPick(0);

        DownloadTaskSpecification *task = makeTask("data.bin", expected);
        bool partialSeen = false;
        connect(task, &TaskSpecification::message, this, [&](const QString &line) {
            if (!line.startsWith("Downloading") && QFile::exists(task->localFile()))
                partialSeen = true;
        });
        task->execute();
        QVERIFY(waitForEnd(task));

        QCOMPARE(task->state(), TaskSpecification::TaskFinished);
        QCOMPARE(TestDirs::readFile(task->localFile()), data);
        QVERIFY(!partialSeen);
        QCOMPARE(mirrorNames(), QStringList({ "M0", "M1" }));
        QCOMPARE(m_pool->mirrors().at(0).errorCount, 1u);
        QCOMPARE(m_pool->mirrors().at(1).errorCount, 0u);
        QCOMPARE(inUse(), 0);
        QCOMPARE(m_log.size(), 3);
        if (!reason.isEmpty())
            QCOMPARE(m_log.at(1), "task: " + reason);
        QCOMPARE(collapsed(m_servers[1]->requestedPaths()), QStringList({ "/files/12/data.bin" }));
    }

    // Endless data for a file of unknown size is cut at 64 MiB, and the transfer moves on.
    void unknownSizeIsCappedAt64MiB()
    {
        startMirrors(2);
        const QByteArray data = pattern(1000, 'd');
        putEverywhere("product.ini", data);
        m_servers[0]->setDefaultBehaviour(Behaviour::endlessData());
        seedFirstPick(0);

        DownloadTaskSpecification *task = makeTask("product.ini", -1, 0.3333);
        task->execute();
        QVERIFY(waitForEnd(task, 30000));

        QCOMPARE(task->state(), TaskSpecification::TaskFinished);
        QCOMPARE(TestDirs::readFile(task->localFile()), data);
        QVERIFY(m_log.contains("task: file product.ini on mirror M0 is larger than expected"));
        const qint64 sent = m_servers[0]->bodyBytesSent();
        QVERIFY(sent > DownloadTaskSpecification::UnknownSizeLimit);
        QVERIFY2(sent < DownloadTaskSpecification::UnknownSizeLimit + 32 * 1024 * 1024, qPrintable(QString::number(sent)));
        QCOMPARE(m_pool->mirrors().at(0).errorCount, 1u);
    }

    // Ticks are driven by hand: 15 idle ticks are tolerated, the 16th gives the mirror up.
    void stalledAttemptIsAbandonedAtThe16thTick()
    {
        startMirrors(2);
        const QByteArray data = pattern(5000, 'e');
        putEverywhere("data.bin", data);
        m_servers[0]->setDefaultBehaviour(learnThenStall());
        seedFirstPick(0);

        DownloadTaskSpecification *task = makeTask("data.bin", -1, 1.0);
        task->execute();
        QTRY_VERIFY_WITH_TIMEOUT(qFuzzyCompare(task->progress(), 0.24), 10000);

        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
        QCOMPARE(done, quint64(1200));
        QCOMPARE(total, quint64(5000)); // learned from the reply
        QCOMPARE(speed, quint64(1200));
        QVERIFY(downloading);
        for (int tick = 2; tick <= 15; ++tick) {
            downloading = false;
            task->timeTick(done, total, speed, downloading);
            QVERIFY2(downloading, qPrintable(QString::number(tick)));
            QCOMPARE(speed, quint64(0));
        }
        QCOMPARE(m_log.size(), 1);
        QVERIFY(QFile::exists(task->localFile()));

        downloading = false;
        task->timeTick(done, total, speed, downloading);
        QVERIFY(!downloading);
        QCOMPARE(m_log.value(1), QString("task: file data.bin timed out on mirror M0"));
        QCOMPARE(m_pool->mirrors().at(0).errorCount, 1u);

        QVERIFY(waitForEnd(task));
        QCOMPARE(task->state(), TaskSpecification::TaskFinished);
        QCOMPARE(TestDirs::readFile(task->localFile()), data);
    }

    // A reset forgets a learned size, releases the mirror and removes the partial file.
    void resetRestoresTheAttemptState()
    {
        startMirrors(1);
        putEverywhere("data.bin", pattern(5000, 'f'));
        m_servers[0]->setDefaultBehaviour(learnThenStall());
        DownloadTaskSpecification *task = makeTask("data.bin", -1, 1.0);
        task->execute();
        QTRY_VERIFY_WITH_TIMEOUT(qFuzzyCompare(task->progress(), 0.24), 10000);
        QCOMPARE(inUse(), 1);

        QSignalSpy progress(task, &TaskSpecification::updateProgress);
        task->reset();
        QCOMPARE(task->state(), TaskSpecification::TaskIdle);
        QCOMPARE(inUse(), 0);
        QVERIFY(!QFile::exists(task->localFile()));
        QVERIFY(task->mirrorData().name.isNull());
        QVERIFY(progress.count() >= 1);
        QCOMPARE(task->progress(), 0.0);
        quint64 done = 9, total = 9, speed = 9;
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
        QCOMPARE(done, quint64(0));
        QCOMPARE(total, quint64(0));
        QCOMPARE(speed, quint64(0));
        QVERIFY(!downloading);

        task->reset(); // a second reset releases nothing more
        QCOMPARE(inUse(), 0);
        QCOMPARE(m_pool->mirrors().at(0).useCount, 0);
    }

    // With one mirror, the second transfer waits without a request and takes the mirror
    // once the first has given it back; waiting costs no idle ticks.
    void secondTransferWaitsForTheOnlyMirror()
    {
        startMirrors(1);
        putEverywhere("a.bin", pattern(6000, 'g'));
        putEverywhere("b.bin", pattern(3000, 'h'));
        m_servers[0]->setBehaviour("/files/12/a.bin", Behaviour::trickle(1000, 5));
        QStringList events;
        connect(m_servers[0].get(), &FakeHttpServer::requestReceived, this, [&](const QString &path) {
            if (events.value(events.size() - 1) != "request " + path) // see collapsed()
                events << "request " + path;
        });

        DownloadTaskSpecification *a = makeTask("a.bin", 6000);
        DownloadTaskSpecification *b = makeTask("b.bin", 3000);
        connect(a, &TaskSpecification::finished, this, [&] { events << "a finished"; });
        connect(b, &TaskSpecification::finished, this, [&] { events << "b finished"; });
        a->execute();
        b->execute();
        QCOMPARE(b->state(), TaskSpecification::TaskRunning);
        QVERIFY(b->mirrorData().name.isNull());
        for (int tick = 0; tick < 40; ++tick) {
            quint64 done = 0, total = 0, speed = 0;
            bool downloading = false;
            b->timeTick(done, total, speed, downloading);
            QVERIFY(!downloading);
        }
        QVERIFY(waitForEnd(a));
        QVERIFY(waitForEnd(b));

        QCOMPARE(a->state(), TaskSpecification::TaskFinished);
        QCOMPARE(b->state(), TaskSpecification::TaskFinished);
        QCOMPARE(events, QStringList({ "request /files/12/a.bin", "a finished", "request /files/12/b.bin",
                                       "b finished" }));
        QCOMPARE(TestDirs::readFile(b->localFile()), pattern(3000, 'h'));
        QCOMPARE(inUse(), 0);
    }

    void waitingTransferWakesWhenTheHolderLetsGo_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("holder cancelled by the user") << "user";
        QTest::newRow("holder aborted for a sibling") << "sibling";
        QTest::newRow("holder reset") << "reset";
    }

    // The holder's request never ends by itself (a stall), so only giving it up can free the mirror.
    void waitingTransferWakesWhenTheHolderLetsGo()
    {
        QFETCH(QString, how);

        startMirrors(1);
        putEverywhere("a.bin", pattern(5000, 'q'));
        putEverywhere("b.bin", pattern(3000, 'r'));
        m_servers[0]->setBehaviour("/files/12/a.bin", Behaviour::stallAfter(100));
        DownloadTaskSpecification *a = makeTask("a.bin", 5000);
        DownloadTaskSpecification *b = makeTask("b.bin", 3000);
        a->execute();
        b->execute();
        QTRY_VERIFY_WITH_TIMEOUT(a->progress() > 0, 10000);
        QVERIFY(b->mirrorData().name.isNull());

        if (how == "user")
            a->userCanceled();
        else if (how == "sibling")
            a->handleOtherTaskCancelled(nullptr);
        else
            a->reset();
        QVERIFY(waitForEnd(b));
        QCOMPARE(b->state(), TaskSpecification::TaskFinished);
        QCOMPARE(TestDirs::readFile(b->localFile()), pattern(3000, 'r'));
        QCOMPARE(inUse(), 0);
    }

    void lastMirrorGoneEndsEveryTransfer_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<int>("failedAttempts");
        QTest::addColumn<bool>("tooManyFailures");

        QTest::newRow("404 removes it at once") << Behaviour::status(404) << 1 << false;
        QTest::newRow("resets: the third error removes it") << Behaviour::resetAfter(100) << 3 << true;
    }

    void lastMirrorGoneEndsEveryTransfer()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(int, failedAttempts);
        QFETCH(bool, tooManyFailures);

        startMirrors(1);
        putEverywhere("a.bin", pattern(5000, 'i'));
        putEverywhere("b.bin", pattern(5000, 'j'));
        m_servers[0]->setDefaultBehaviour(behaviour);
        DownloadTaskSpecification *a = makeTask("a.bin", 5000);
        DownloadTaskSpecification *b = makeTask("b.bin", 5000);
        QSignalSpy aCanceled(a, &TaskSpecification::canceled);
        QSignalSpy bCanceled(b, &TaskSpecification::canceled);
        a->execute();
        b->execute();
        QVERIFY(waitForEnd(a));
        QVERIFY(waitForEnd(b));

        QCOMPARE(a->state(), TaskSpecification::TaskErrorCanceled);
        QCOMPARE(b->state(), TaskSpecification::TaskErrorCanceled);
        QCOMPARE(aCanceled.count(), 1);
        QCOMPARE(bCanceled.count(), 1);
        QCOMPARE(m_log.count("pool: There are no (more) known working mirrors available"), 1);
        QCOMPARE(m_log.count("pool: Mirror M0 failed too many times, removing"), tooManyFailures ? 1 : 0);
        QCOMPARE(m_log.filter(QRegularExpression("^task: (?!Downloading)")).size(), failedAttempts);
        QVERIFY(!QFile::exists(a->localFile()));
        QVERIFY(!QFile::exists(b->localFile()));
    }

    // A cancel while waiting ends at once holding nothing, and the transfer stays ended
    // when the mirror comes free later.
    void userCancelWhileWaiting()
    {
        startMirrors(1);
        putEverywhere("a.bin", pattern(4000, 'k'));
        putEverywhere("b.bin", pattern(4000, 'l'));
        m_servers[0]->setBehaviour("/files/12/a.bin", Behaviour::trickle(1000, 5));
        DownloadTaskSpecification *a = makeTask("a.bin", 4000);
        DownloadTaskSpecification *b = makeTask("b.bin", 4000);
        QSignalSpy bCanceled(b, &TaskSpecification::canceled);
        QSignalSpy bFinished(b, &TaskSpecification::finished);
        a->execute();
        b->execute();

        b->userCanceled();
        QCOMPARE(b->state(), TaskSpecification::TaskUserCanceled);
        QCOMPARE(bCanceled.count(), 1);
        QCOMPARE(inUse(), 1);

        QVERIFY(waitForEnd(a));
        QCOMPARE(a->state(), TaskSpecification::TaskFinished);
        // Any wake-up already queued arrives now; a transfer that wrongly woke would take the mirror.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(m_servers[0]->requestCount("/files/12/b.bin"), 0);
        QCOMPARE(bCanceled.count(), 1);
        QCOMPARE(bFinished.count(), 0);
        QCOMPARE(b->state(), TaskSpecification::TaskUserCanceled);
        QCOMPARE(inUse(), 0);
        QVERIFY(!QFile::exists(b->localFile()));
    }

    void userCancelInFlightAndBeforeStart()
    {
        startMirrors(1);
        putEverywhere("a.bin", pattern(5000, 'm'));
        m_servers[0]->setDefaultBehaviour(Behaviour::stallAfter(2000));
        DownloadTaskSpecification *idle = makeTask("a.bin", 5000);
        idle->userCanceled();
        QCOMPARE(idle->state(), TaskSpecification::TaskIdle);
        QVERIFY(idle->isUserCanceled());

        DownloadTaskSpecification *task = makeTask("a.bin", 5000);
        QSignalSpy canceled(task, &TaskSpecification::canceled);
        task->execute();
        QTRY_VERIFY_WITH_TIMEOUT(task->progress() > 0, 10000);
        task->userCanceled();
        QCOMPARE(task->state(), TaskSpecification::TaskUserCanceled);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(inUse(), 0);
        QCOMPARE(m_pool->mirrors().at(0).errorCount, 0u);
        QVERIFY(!QFile::exists(task->localFile()));
        QTRY_COMPARE_WITH_TIMEOUT(m_servers[0]->openConnections(), 0, 10000); // the request is dropped
    }

    void otherTaskCancelled_data()
    {
        QTest::addColumn<bool>("inFlight");
        QTest::newRow("attempt in flight") << true;
        QTest::newRow("waiting for a mirror") << false;
    }

    void otherTaskCancelled()
    {
        QFETCH(bool, inFlight);

        startMirrors(1);
        putEverywhere("a.bin", pattern(4000, 'n'));
        putEverywhere("b.bin", pattern(5000, 'n'));
        m_servers[0]->setBehaviour("/files/12/a.bin", Behaviour::trickle(1000, 5));
        m_servers[0]->setBehaviour("/files/12/b.bin", Behaviour::stallAfter(2000));
        DownloadTaskSpecification *holder = makeTask("a.bin", 4000);
        DownloadTaskSpecification *task = makeTask("b.bin", 5000);
        if (!inFlight)
            holder->execute();
        QSignalSpy canceled(task, &TaskSpecification::canceled);
        task->execute();
        if (inFlight)
            QTRY_VERIFY_WITH_TIMEOUT(task->progress() > 0, 10000);
        m_log.clear();

        task->handleOtherTaskCancelled(holder);
        QCOMPARE(task->state(), TaskSpecification::TaskErrorCanceled);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(m_log, inFlight ? QStringList({ "task: Abort downloading b.bin" }) : QStringList());
        QCOMPARE(m_pool->mirrors().at(0).errorCount, 0u);
        QCOMPARE(inUse(), inFlight ? 0 : 1);
        QVERIFY(!QFile::exists(task->localFile()));

        // The transfer stays ended when the mirror comes free.
        if (!inFlight)
            QVERIFY(waitForEnd(holder));
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(inUse(), 0);
        QCOMPARE(m_servers[0]->requestCount("/files/12/b.bin") > 0, inFlight);
    }

    void fileThatCannotBeCreated()
    {
        startMirrors(1);
        putEverywhere("a.bin", pattern(100, 'o'));
        const QString blocked = m_dirs->tempDir() + "/not-a-dir";
        QVERIFY(TestDirs::writeFile(blocked, "plain file"));
        auto *task = new DownloadTaskSpecification(m_manager.get(), m_pool.get(), "a.bin", blocked + "/a.bin", 100,
                                                   m_owner.get(), 0.8);
        record(task);
        QSignalSpy errors(task, &TaskSpecification::error);
        QSignalSpy canceled(task, &TaskSpecification::canceled);
        task->execute();

        QCOMPARE(task->state(), TaskSpecification::TaskErrorCanceled);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QString("Unable to create file %1 for saving").arg(blocked + "/a.bin"));
        QCOMPARE(inUse(), 0);
        QCOMPARE(m_pool->mirrors().at(0).errorCount, 0u);
        task->reset(); // the mirror was given back once only
        QCOMPARE(m_pool->mirrors().at(0).useCount, 0);
        QCOMPARE(m_servers[0]->totalRequests(), 0);
    }

    // Deleting a transfer in flight neither touches the pool nor leaves a dangling reply.
    void destroyedInFlight()
    {
        startMirrors(1);
        putEverywhere("a.bin", pattern(5000, 'p'));
        m_servers[0]->setDefaultBehaviour(Behaviour::stallAfter(1000));
        DownloadTaskSpecification *task = makeTask("a.bin", 5000);
        task->execute();
        QTRY_VERIFY_WITH_TIMEOUT(task->progress() > 0, 10000);
        delete task;
        QCOMPARE(inUse(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_servers[0]->openConnections(), 0, 10000);
    }

private:
    // 1200 of 5000 bytes in three pieces 150 ms apart, then silence. The reply reports its
    // total at most every 100 ms and only after a piece, so a transfer of unknown size has
    // learned the total by the third piece and shows progress 0.24.
    static Behaviour learnThenStall()
    {
        Behaviour behaviour = Behaviour::trickle(400, 150);
        behaviour.stallAfterBytes = 1200;
        return behaviour;
    }

    void startMirrors(int count)
    {
        QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(count) + "\n";
        for (int i = 0; i < count; ++i)
            ini += QByteArray::number(i + 1) + "\\mirror=M" + QByteArray::number(i) + "\n";
        for (int i = 0; i < count; ++i) {
            auto server = std::make_unique<FakeHttpServer>(m_dirs->appFile(QString("mirror%1").arg(i)));
            QVERIFY(server->listen());
            ini += "[M" + QByteArray::number(i) + "]\nurl=" + server->baseUrl().toUtf8() + "/files\n";
            m_servers.push_back(std::move(server));
        }
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("mirrors.ini"), ini));
        m_pool.reset(new Mirrors);
        QVERIFY(m_pool->initDefault(m_dirs->appFile("mirrors.ini"), 12));
        connect(m_pool.get(), &Mirrors::message, this, [this](const QString &line) { m_log << "pool: " + line; });
    }

    void putFile(int mirror, const QString &path, const QByteArray &data)
    {
        QVERIFY(TestDirs::writeFile(m_dirs->appFile(QString("mirror%1/files/12/%2").arg(mirror).arg(path)), data));
    }

    void putEverywhere(const QString &path, const QByteArray &data)
    {
        for (size_t i = 0; i < m_servers.size(); ++i)
            putFile(int(i), path, data);
    }

    // Seeds the pool's generator so that the first draw from a full pool picks the mirror at index.
    void seedFirstPick(int index)
    {
        QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(int(m_servers.size())) + "\n";
        for (size_t i = 0; i < m_servers.size(); ++i)
            ini += QByteArray::number(int(i) + 1) + "\\mirror=M" + QByteArray::number(int(i)) + "\n";
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("probe.ini"), ini));
        for (quint32 seed = 1; seed < 1000; ++seed) {
            Mirrors::seedRandom(seed);
            Mirrors probe;
            probe.initDefault(m_dirs->appFile("probe.ini"), 12);
            FTPSiteAccessData record;
            if (probe.getRandomMirror(record) == 0 && record.name == QString("M%1").arg(index)) {
                Mirrors::seedRandom(seed);
                return;
            }
        }
        QFAIL("no seed found");
    }

    void record(DownloadTaskSpecification *task)
    {
        connect(task, &TaskSpecification::message, this, [this](const QString &line) { m_log << "task: " + line; });
    }

    DownloadTaskSpecification *makeTask(const QString &remote, qint64 expected, double share = 0.8)
    {
        const QString local = m_dirs->tempDir() + "/out/" + remote;
        QDir().mkpath(QFileInfo(local).absolutePath());
        auto *task = new DownloadTaskSpecification(m_manager.get(), m_pool.get(), remote, local, expected,
                                                   m_owner.get(), share);
        record(task);
        return task;
    }

    // The network library may send a request again on its own when a connection closes
    // early (one attempt of the transfer, two requests at the mirror); such repeats come
    // one right after the other and are folded into one.
    static QStringList collapsed(const QStringList &paths)
    {
        QStringList result;
        for (const QString &path : paths) {
            if (result.isEmpty() || result.last() != path)
                result << path;
        }
        return result;
    }

    static bool ended(const TaskSpecification *task)
    {
        return task->state() != TaskSpecification::TaskRunning && task->state() != TaskSpecification::TaskIdle;
    }

    // Runs the event loop until the task ends, at most ms. A real event loop, not polling:
    // polling sleeps between passes and would slow big transfers to a crawl.
    static bool waitForEnd(TaskSpecification *task, int ms = 10000)
    {
        if (ended(task))
            return true;
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        connect(task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
        connect(task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
        loop.exec();
        return ended(task);
    }

    int inUse() const
    {
        int maxUse = 0;
        int used = 0;
        m_pool->calcUseStats(maxUse, used);
        return used;
    }

    QStringList mirrorNames() const
    {
        QStringList names;
        for (const FTPSiteAccessData &record : m_pool->mirrors())
            names << record.name;
        return names;
    }

    std::unique_ptr<TestDirs> m_dirs;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::vector<std::unique_ptr<FakeHttpServer>> m_servers;
    std::unique_ptr<Mirrors> m_pool;
    std::unique_ptr<QObject> m_owner;
    QStringList m_log;
};

QTEST_GUILESS_MAIN(tst_DownloadTask)
#include "tst_downloadtask.moc"
