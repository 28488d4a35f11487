#include "checksignaturetaskspecification.h"
#include "releasefixture.h"
#include "releasekey.h"
#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

namespace {

const QString EmptyMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");

QString md5Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

bool write(const QString &path, const QByteArray &content)
{
    return ReleaseFixture::writeFile(path, content);
}

// Records everything a check task says, in order, as one log.
class Recorder : public QObject
{
public:
    explicit Recorder(CheckSignatureTaskSpecification *task)
    {
        connect(task, &TaskSpecification::message, this, [this](const QString &m) { log << "message: " + m; });
        connect(task, &TaskSpecification::error, this, [this](const QString &e) { log << "error: " + e; });
        connect(task, &CheckSignatureTaskSpecification::checkDone, this,
                [this, task](bool pass, CheckSignatureTaskSpecification *sender) {
                    log << QStringLiteral("checkDone(%1)").arg(pass ? "true" : "false");
                    senderMatches = sender == task;
                    stateAtCheckDone = task->state();
                });
        connect(task, &TaskSpecification::finished, this, [this] { log << "finished"; });
        connect(task, &TaskSpecification::canceled, this, [this] { log << "canceled"; });
    }
    bool ended() const { return log.contains("finished") || log.contains("canceled"); }

    QStringList log;
    bool senderMatches = false;
    TaskSpecification::TaskState stateAtCheckDone = TaskSpecification::TaskIdle;
};

} // namespace

class tst_CheckSignature : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void check_data();
    void check();
    void md5StreamsAcrossChunks_data();
    void md5StreamsAcrossChunks();
    void releaseFixtureProductIniPasses();
    void severalChecksAtOnce();
    void lateResultIgnored_data();
    void lateResultIgnored();
    void resetInsideCheckDone();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // Prepares the row's files; returns the path under check.
    QString prepare(const QString &setup);

    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_CheckSignature::initTestCase()
{
    crypt_init();
}

void tst_CheckSignature::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_CheckSignature::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    m_dir.reset();
}

QString tst_CheckSignature::prepare(const QString &setup)
{
    const QString file = path("sub/product.ini");
    const QByteArray content("[client]\nupdate=0123456789abcdef0123456789abcdef::4\n");
    if (setup == "missing")
        return file;
    if (setup == "empty") {
        write(file, QByteArray(""));
        return file;
    }
    if (setup == "empty signed") {
        ReleaseFixture::writeSigned(file, QByteArray(""));
        return file;
    }
    if (setup == "short read") {
        // A kernel file announces 4096 bytes and yields only a few.
        const QString sysFile = QStringLiteral("/sys/kernel/uevent_seqnum");
        return QFileInfo(sysFile).size() > 64 ? sysFile : QString();
    }
    write(file, content);
    if (setup == "plain")
        return file;
    ReleaseFixture::writeSigned(file, content);
    if (setup == "signed")
        return file;
    if (setup == "signed, then altered")
        write(file, content + "extra=1\n");
    else if (setup == "sig 127 bytes")
        write(file + ".sig", QByteArray(127, '\x11'));
    else if (setup == "sig 129 bytes") {
        QByteArray sig = ReleaseFixture::signingKey().sign(content);
        write(file + ".sig", sig + "x");
    } else if (setup == "sig empty")
        write(file + ".sig", QByteArray(""));
    else if (setup == "sig from another key")
        write(file + ".sig", ReleaseKey::generate().sign(content));
    else if (setup == "sig bytes flipped") {
        QByteArray sig = ReleaseFixture::signingKey().sign(content);
        sig[10] = char(sig[10] ^ 0x40);
        write(file + ".sig", sig);
    } else if (setup == "sig is a directory") {
        QFile::remove(file + ".sig");
        QDir().mkpath(file + ".sig");
    } else if (setup == "sig missing")
        QFile::remove(file + ".sig");
    return file;
}

void tst_CheckSignature::check_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("md5");         // "$MD5" is the content's sum; "$UPPER" in capitals
    QTest::addColumn<bool>("pass");
    QTest::addColumn<QStringList>("workerMessages");  // "$F" is the file under check

    const QStringList none;
    const QStringList cannotOpen{"Could not open file $F for reading"};
    const QStringList cannotOpenSig{"Could not open file $F.sig for reading"};

    QTest::newRow("md5 matches") << "plain" << "$MD5" << true << none;
    QTest::newRow("md5 in capitals") << "plain" << "$UPPER" << true << none;
    QTest::newRow("md5 with blanks around") << "plain" << " $MD5 " << false << none;
    QTest::newRow("md5 differs") << "plain" << EmptyMd5 << false << none;
    QTest::newRow("md5 truncated") << "plain" << "$MD5-1" << false << none;
    QTest::newRow("empty file, md5 of no bytes") << "empty" << EmptyMd5 << true << none;
    QTest::newRow("md5, file missing") << "missing" << "$MD5" << false << cannotOpen;
    QTest::newRow("md5, short read") << "short read" << EmptyMd5 << false
                                     << QStringList{"could not read file $F correctly"};
    QTest::newRow("md5 given, signature ignored") << "signed" << EmptyMd5 << false << none;

    QTest::newRow("signature valid") << "signed" << "" << true << none;
    QTest::newRow("empty file signed") << "empty signed" << "" << true << none;
    QTest::newRow("signature, file missing") << "missing" << "" << false << cannotOpen;
    QTest::newRow("signature missing") << "sig missing" << "" << false << cannotOpenSig;
    QTest::newRow("no signature for an md5-less check") << "plain" << "" << false << cannotOpenSig;
    QTest::newRow("signature unreadable") << "sig is a directory" << "" << false << cannotOpenSig;
    QTest::newRow("signature of other content") << "signed, then altered" << "" << false << none;
    QTest::newRow("signature 127 bytes") << "sig 127 bytes" << "" << false << none;
    QTest::newRow("signature 129 bytes") << "sig 129 bytes" << "" << false << none;
    QTest::newRow("signature empty") << "sig empty" << "" << false << none;
    QTest::newRow("signature from another key") << "sig from another key" << "" << false << none;
    QTest::newRow("signature altered") << "sig bytes flipped" << "" << false << none;
}

// Runs each case twice: as the list compilation does (run() on the stack) and
// as a task, whose log must hold the worker's lines, the failure line, the
// verdict and then the end, in that order.
void tst_CheckSignature::check()
{
    QFETCH(QString, setup);
    QFETCH(QString, md5);
    QFETCH(bool, pass);
    QFETCH(QStringList, workerMessages);

    const QString file = prepare(setup);
    if (file.isEmpty())
        QSKIP("no kernel file that reads short on this system");
    QFile f(file);
    const QByteArray content = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    md5.replace("$MD5", md5Of(content)).replace("$UPPER", md5Of(content).toUpper());
    for (QString &m : workerMessages)
        m.replace("$F", file);

    {
        CheckSigFunc func(file, md5);
        QStringList direct;
        connect(&func, &ASyncFunc::message, &func, [&direct](const QString &m) { direct << m; });
        QCOMPARE(func.run(), pass);
        QCOMPARE(direct, workerMessages);
    }

    for (bool cancelOnFailure : {false, true}) {
        CheckSignatureTaskSpecification task(file, md5, cancelOnFailure, nullptr, 0.2);
        Recorder recorder(&task);
        task.execute();
        QCOMPARE(task.state(), TaskSpecification::TaskRunning);
        QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 10000);

        QStringList expected;
        for (const QString &m : workerMessages)
            expected << "message: " + m;
        if (!pass)
            expected << "message: Signature check failed for " + file;
        expected << QStringLiteral("checkDone(%1)").arg(pass ? "true" : "false");
        const bool cancels = !pass && cancelOnFailure;
        expected << (cancels ? "canceled" : "finished");
        QCOMPARE(recorder.log, expected);
        QVERIFY(recorder.senderMatches);
        QCOMPARE(recorder.stateAtCheckDone, TaskSpecification::TaskRunning);
        QCOMPARE(task.state(), cancels ? TaskSpecification::TaskErrorCanceled : TaskSpecification::TaskFinished);
    }
}

void tst_CheckSignature::md5StreamsAcrossChunks_data()
{
    QTest::addColumn<qint64>("size");
    const qint64 chunk = CheckSigFunc::MD5ChunkSize;
    QTest::newRow("one byte") << qint64(1);
    QTest::newRow("chunk - 1") << chunk - 1;
    QTest::newRow("chunk") << chunk;
    QTest::newRow("chunk + 1") << chunk + 1;
    QTest::newRow("three chunks and some") << 3 * chunk + 12345;
}

void tst_CheckSignature::md5StreamsAcrossChunks()
{
    QFETCH(qint64, size);
    QByteArray content(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        content[int(i)] = char((i * 131 + i / 977) & 0xff);
    const QString file = path("big.bin");
    QVERIFY(write(file, content));
    QVERIFY(CheckSigFunc(file, md5Of(content)).run());
    // A change in the last byte must show: the whole file is hashed.
    content[int(size - 1)] = char(content[int(size - 1)] ^ 1);
    QVERIFY(!CheckSigFunc(file, md5Of(content)).run());
}

// What the release tool publishes passes the updater's own checks.
void tst_CheckSignature::releaseFixtureProductIniPasses()
{
    ReleaseFixture::Options options;
    options.pack = {"*.so"};
    const auto release =
        ReleaseFixture::build(path("mirror"), 3, {{"update", "u"}, {"lib/a.so", QByteArray(5000, 'a')}}, options);
    QVERIFY2(release.ok, qPrintable(release.error));
    QVERIFY(CheckSigFunc(release.productIniPath, QString()).run());
    for (const ProductIni::Entry &e : release.ini.entries())
        QVERIFY(CheckSigFunc(release.versionDir + "/client/" + e.key, e.fields().at(0)).run());
}

// Checks share only the built-in key and the registrations; run many at once.
void tst_CheckSignature::severalChecksAtOnce()
{
    struct Case
    {
        QString file;
        QString md5;
        bool pass;
    };
    QList<Case> cases;
    for (int i = 0; i < 12; ++i) {
        const QByteArray content = QByteArray::number(i).repeated(1000 + i);
        const QString file = path(QStringLiteral("f%1").arg(i));
        if (i % 2) {
            QVERIFY(ReleaseFixture::writeSigned(file, content));
            if (i % 3 == 0)
                QVERIFY(write(file, content + "!"));
            cases.append({file, QString(), i % 3 != 0});
        } else {
            QVERIFY(write(file, content));
            cases.append({file, i % 4 ? md5Of(content) : EmptyMd5, i % 4 != 0});
        }
    }
    QList<CheckSignatureTaskSpecification *> tasks;
    QMap<CheckSignatureTaskSpecification *, int> verdicts;
    QObject owner;
    for (const Case &c : cases) {
        auto *task = new CheckSignatureTaskSpecification(c.file, c.md5, false, &owner, 1.0 / cases.size());
        connect(task, &CheckSignatureTaskSpecification::checkDone, this,
                [&verdicts](bool pass, CheckSignatureTaskSpecification *t) { verdicts[t] += pass ? 1 : 100; });
        tasks.append(task);
    }
    for (auto *t : tasks)
        t->execute();
    QTRY_COMPARE_WITH_TIMEOUT(verdicts.size(), int(tasks.size()), 20000);
    for (int i = 0; i < tasks.size(); ++i)
        QVERIFY2(verdicts.value(tasks.at(i)) == (cases.at(i).pass ? 1 : 100), qPrintable(cases.at(i).file));
}

void tst_CheckSignature::lateResultIgnored_data()
{
    QTest::addColumn<QString>("interruption");
    QTest::newRow("user cancel") << "cancel";
    QTest::newRow("error cancel") << "error";
    QTest::newRow("reset") << "reset";
}

// The result of a check still on the pool when the task stopped running is dropped.
void tst_CheckSignature::lateResultIgnored()
{
    QFETCH(QString, interruption);
    const QString file = path("late.bin");
    QVERIFY(write(file, "late"));
    CheckSignatureTaskSpecification task(file, EmptyMd5, true, nullptr, 1.0);
    Recorder recorder(&task);
    task.execute();
    if (interruption == "cancel")
        task.userCancel();
    else if (interruption == "error")
        task.errorCancel();
    else
        task.reset();
    const QStringList before = recorder.log;
    // Once the worker is done its result is posted; deliver it.
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCOMPARE(recorder.log, before);
    QVERIFY(!recorder.log.join('\n').contains("checkDone"));
    QVERIFY(!recorder.log.contains("message: Signature check failed for " + file));

    if (interruption == "reset") {
        // A reset task runs again with a fresh worker.
        QCOMPARE(task.state(), TaskSpecification::TaskIdle);
        task.execute();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.log.contains("canceled"), 10000);
        QCOMPARE(recorder.log.filter("checkDone").size(), 1);
    }
}

// A parent may reset the task from its checkDone slot (to retry); the task
// then must not end itself behind the parent's back.
void tst_CheckSignature::resetInsideCheckDone()
{
    const QString file = path("retry.bin");
    QVERIFY(write(file, "retry"));
    CheckSignatureTaskSpecification task(file, EmptyMd5, false, nullptr, 1.0);
    Recorder recorder(&task);
    connect(&task, &CheckSignatureTaskSpecification::checkDone, &task,
            [](bool, CheckSignatureTaskSpecification *t) { t->TaskSpecification::reset(); });
    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.log.join('\n').contains("checkDone"), 10000);
    QCoreApplication::processEvents();
    QCOMPARE(task.state(), TaskSpecification::TaskIdle);
    QVERIFY(!recorder.ended());
}

QTEST_GUILESS_MAIN(tst_CheckSignature)
#include "tst_checksignature.moc"
