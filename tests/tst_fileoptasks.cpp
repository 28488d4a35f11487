#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "fileunziptaskspecification.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

#include <zlib.h>

namespace {

enum Failure {
    DirOverFile,
    DirBelowFile,
    DirRelativeName,
    DirRelativeChain,
    DirNameTooLong,
    DeleteMissing,
    RenameOntoExisting,
    RenameMissingSource,
    CopyOntoExisting,
    CopyMissingSource,
    UnzipTruncated,
    UnzipCorrupt,
    UnzipMissingSource,
};

QByteArray sampleData(int size)
{
    // Half random, half repetitive: compresses, and spans many 16384-byte reads.
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator rng(42);
    for (int i = 0; i < size; ++i)
        data[i] = (i / 4096) % 2 ? char('a' + i % 7) : char(rng.generate());
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeGzip(const QString &path, const QByteArray &data)
{
    gzFile out = gzopen(QFile::encodeName(path).constData(), "wb");
    if (!out)
        return false;
    const bool written = gzwrite(out, data.constData(), unsigned(data.size())) == data.size();
    return gzclose(out) == Z_OK && written;
}

bool ended(const TaskSpecification &task)
{
    return task.state() == TaskSpecification::TaskFinished
        || task.state() == TaskSpecification::TaskErrorCanceled;
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &args : spy)
        result << args.at(0).toString();
    return result;
}

} // namespace

class tst_FileOpTasks : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void failuresAreReported_data();
    void failuresAreReported();
    void dirCreationJournalsEachLevel();
    void existingDirIsNeitherCreatedNorJournaled();
    void deleteWithoutReportingAlwaysFinishes();
    void renameJournalsAndUndoes();
    void slowOperationsCreateAndJournal_data();
    void slowOperationsCreateAndJournal();
    void slowOperationWithoutJournal();
    void copyKeepsContentAndPermissions_data();
    void copyKeepsContentAndPermissions();
    void unzipInNonAsciiDirectory();
    void unzipMissingSourceLeavesExistingDestination();

private:
    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    // Runs the task to its end (at once for fast ones, on the pool for slow ones).
    void runToEnd(TaskSpecification *task);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCurrent;
};

void tst_FileOpTasks::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    // Relative names resolve here, never in the build tree.
    m_oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void tst_FileOpTasks::cleanup()
{
    QDir::setCurrent(m_oldCurrent);
    m_dir.reset();
}

void tst_FileOpTasks::runToEnd(TaskSpecification *task)
{
    task->execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended(*task), 10000);
}

void tst_FileOpTasks::failuresAreReported_data()
{
    QTest::addColumn<int>("failure");

    QTest::newRow("directory over a regular file") << int(DirOverFile);
    QTest::newRow("directory below a regular file") << int(DirBelowFile);
    QTest::newRow("relative name without a directory part") << int(DirRelativeName);
    QTest::newRow("relative chain climbs to '.'") << int(DirRelativeChain);
    QTest::newRow("directory name too long") << int(DirNameTooLong);
    QTest::newRow("delete a missing file") << int(DeleteMissing);
    QTest::newRow("rename onto an existing file") << int(RenameOntoExisting);
    QTest::newRow("rename a missing file") << int(RenameMissingSource);
    QTest::newRow("copy onto an existing file") << int(CopyOntoExisting);
    QTest::newRow("copy a missing file") << int(CopyMissingSource);
    QTest::newRow("unzip a truncated gzip file") << int(UnzipTruncated);
    QTest::newRow("unzip a corrupt gzip file") << int(UnzipCorrupt);
    QTest::newRow("unzip a missing file") << int(UnzipMissingSource);
}

// Each failure is produced by a real failing operation. The task must end
// failed with exactly one line, journal nothing, and leave no output behind.
void tst_FileOpTasks::failuresAreReported()
{
    QFETCH(int, failure);

    RollbackDataList journal;
    std::unique_ptr<TaskSpecification> task;
    QString expected;
    QStringList mustNotExist;
    QMap<QString, QByteArray> unchanged;

    const QByteArray data = sampleData(100000);
    const QString longName = path(QString(300, QLatin1Char('n')));
    switch (Failure(failure)) {
    case DirOverFile:
        QVERIFY(writeFile(path("file"), "x"));
        task.reset(new DirCreateTaskSpecification(path("file"), &journal, nullptr, 1.0));
        expected = QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                       .arg(path("file"));
        unchanged.insert(path("file"), "x");
        break;
    case DirBelowFile:
        QVERIFY(writeFile(path("file"), "x"));
        task.reset(new DirCreateTaskSpecification(path("file/sub"), &journal, nullptr, 1.0));
        expected = QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                       .arg(path("file"));
        unchanged.insert(path("file"), "x");
        break;
    case DirRelativeName:
        task.reset(new DirCreateTaskSpecification("x", &journal, nullptr, 1.0));
        expected = QStringLiteral("Could not create dir x");
        mustNotExist << path("x");
        break;
    case DirRelativeChain:
        task.reset(new DirCreateTaskSpecification("x/y", &journal, nullptr, 1.0));
        expected = QStringLiteral("Could not create dir x/y"); // names the task's own target
        mustNotExist << path("x");
        break;
    case DirNameTooLong:
        task.reset(new DirCreateTaskSpecification(longName, &journal, nullptr, 1.0));
        expected = QStringLiteral("unable to create dir %1").arg(longName);
        break;
    case DeleteMissing:
        task.reset(new FileDeleteTaskSpecification(true, path("missing"), nullptr, 1.0));
        expected = QStringLiteral("Could not delete '%1'").arg(path("missing"));
        break;
    case RenameOntoExisting:
        QVERIFY(writeFile(path("from"), "from"));
        QVERIFY(writeFile(path("to"), "to"));
        task.reset(new FileRenameTaskSpecification(path("from"), path("to"), &journal, nullptr, 1.0));
        expected = QStringLiteral("Could not rename '%1' to '%2'").arg(path("from"), path("to"));
        unchanged.insert(path("from"), "from");
        unchanged.insert(path("to"), "to");
        break;
    case RenameMissingSource:
        task.reset(new FileRenameTaskSpecification(path("missing"), path("to"), &journal, nullptr, 1.0));
        expected = QStringLiteral("Could not rename '%1' to '%2'").arg(path("missing"), path("to"));
        mustNotExist << path("to");
        break;
    case CopyOntoExisting:
        QVERIFY(writeFile(path("src"), data));
        QVERIFY(writeFile(path("dst"), "keep"));
        task.reset(new FileCopyTaskSpecification(&journal, path("src"), path("dst"), nullptr, 1.0));
        expected = QStringLiteral("Could not copy '%1' to '%2'").arg(path("src"), path("dst"));
        unchanged.insert(path("dst"), "keep");
        break;
    case CopyMissingSource:
        task.reset(new FileCopyTaskSpecification(&journal, path("missing"), path("dst"), nullptr, 1.0));
        expected = QStringLiteral("Could not copy '%1' to '%2'").arg(path("missing"), path("dst"));
        mustNotExist << path("dst");
        break;
    case UnzipTruncated: {
        QVERIFY(writeGzip(path("full.gz"), data));
        QVERIFY(writeFile(path("src.gz"), readFile(path("full.gz")).chopped(20000)));
        task.reset(new FileUnzipTaskSpecification(&journal, path("src.gz"), path("dst"), nullptr, 1.0));
        expected = QStringLiteral("Could not unzip '%1' to '%2'").arg(path("src.gz"), path("dst"));
        mustNotExist << path("dst");
        break;
    }
    case UnzipCorrupt: {
        QVERIFY(writeGzip(path("full.gz"), data));
        QByteArray broken = readFile(path("full.gz"));
        broken[broken.size() - 6] = char(broken[broken.size() - 6] ^ 0x55); // CRC trailer
        QVERIFY(writeFile(path("src.gz"), broken));
        task.reset(new FileUnzipTaskSpecification(&journal, path("src.gz"), path("dst"), nullptr, 1.0));
        expected = QStringLiteral("Could not unzip '%1' to '%2'").arg(path("src.gz"), path("dst"));
        mustNotExist << path("dst");
        break;
    }
    case UnzipMissingSource:
        task.reset(new FileUnzipTaskSpecification(&journal, path("missing.gz"), path("dst"), nullptr, 1.0));
        expected = QStringLiteral("Could not unzip '%1' to '%2'").arg(path("missing.gz"), path("dst"));
        mustNotExist << path("dst");
        break;
    }

    QSignalSpy lines(task.get(), &TaskSpecification::message);
    QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
    runToEnd(task.get());

    QCOMPARE(task->state(), TaskSpecification::TaskErrorCanceled);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(texts(lines), QStringList{expected});
    QCOMPARE(journal.records.size(), 0);
    for (const QString &p : std::as_const(mustNotExist))
        QVERIFY2(!QFileInfo::exists(p), qPrintable(p));
    for (auto it = unchanged.cbegin(); it != unchanged.cend(); ++it)
        QCOMPARE(readFile(it.key()), it.value());
}

void tst_FileOpTasks::dirCreationJournalsEachLevel()
{
    QVERIFY(QDir(m_dir->path()).mkdir("a"));
    RollbackDataList journal;
    // A trailing separator must not create the last level twice.
    DirCreateTaskSpecification task(path("a/b/c/"), &journal, nullptr, 1.0);
    runToEnd(&task);

    QCOMPARE(task.state(), TaskSpecification::TaskFinished);
    QVERIFY(QFileInfo(path("a/b/c")).isDir());
    QVERIFY(!QFileInfo::exists(path("a/b/c/c")));
    QCOMPARE(journal.records.size(), 2);
    QCOMPARE(journal.records.at(0).operation, RollbackData::CreateDir);
    QCOMPARE(journal.records.at(0).path, path("a/b"));
    QCOMPARE(journal.records.at(1).path, path("a/b/c"));

    QVERIFY(journal.rollback(nullptr)); // bottom-up, or a/b would not be empty
    QVERIFY(!QFileInfo::exists(path("a/b")));
    QVERIFY(QFileInfo(path("a")).isDir());
}

void tst_FileOpTasks::existingDirIsNeitherCreatedNorJournaled()
{
    RollbackDataList journal;
    DirCreateTaskSpecification task(m_dir->path(), &journal, nullptr, 0.5);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    runToEnd(&task);
    QCOMPARE(task.state(), TaskSpecification::TaskFinished);
    QCOMPARE(progress.last().at(0).toDouble(), 0.5);
    QVERIFY(journal.records.isEmpty());
}

void tst_FileOpTasks::deleteWithoutReportingAlwaysFinishes()
{
    QVERIFY(writeFile(path("present"), "x"));
    FileDeleteTaskSpecification present(false, path("present"), nullptr, 1.0);
    FileDeleteTaskSpecification missing(false, path("missing"), nullptr, 1.0);
    QSignalSpy lines(&missing, &TaskSpecification::message);
    runToEnd(&present);
    runToEnd(&missing);
    QCOMPARE(present.state(), TaskSpecification::TaskFinished);
    QCOMPARE(missing.state(), TaskSpecification::TaskFinished);
    QVERIFY(!QFileInfo::exists(path("present")));
    QCOMPARE(lines.count(), 0);
}

void tst_FileOpTasks::renameJournalsAndUndoes()
{
    QVERIFY(writeFile(path("file"), "content"));
    RollbackDataList journal;
    FileRenameTaskSpecification task(path("file"), path("_old_file"), &journal, nullptr, 1.0);
    runToEnd(&task);
    QCOMPARE(task.state(), TaskSpecification::TaskFinished);
    QVERIFY(!QFileInfo::exists(path("file")));
    QCOMPARE(journal.records.size(), 1);
    QCOMPARE(journal.records.at(0).operation, RollbackData::Rename);
    QCOMPARE(journal.records.at(0).oldPath, path("file"));
    QCOMPARE(journal.records.at(0).path, path("_old_file"));

    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(readFile(path("file")), QByteArray("content"));
}

void tst_FileOpTasks::slowOperationsCreateAndJournal_data()
{
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<bool>("compressedSource");
    QTest::addColumn<int>("size");

    QTest::newRow("copy") << false << false << 300000;
    QTest::newRow("copy an empty file") << false << false << 0;
    QTest::newRow("unzip a gzip file") << true << true << 300000;
    QTest::newRow("unzip an empty gzip file") << true << true << 0;
    QTest::newRow("unzip a plain file: a copy") << true << false << 300000;
}

void tst_FileOpTasks::slowOperationsCreateAndJournal()
{
    QFETCH(bool, unzip);
    QFETCH(bool, compressedSource);
    QFETCH(int, size);

    const QByteArray data = sampleData(size);
    QVERIFY(compressedSource ? writeGzip(path("src"), data) : writeFile(path("src"), data));
    RollbackDataList journal;
    std::unique_ptr<TaskSpecification> task;
    if (unzip)
        task.reset(new FileUnzipTaskSpecification(&journal, path("src"), path("dst"), nullptr, 1.0));
    else
        task.reset(new FileCopyTaskSpecification(&journal, path("src"), path("dst"), nullptr, 1.0));
    QSignalSpy lines(task.get(), &TaskSpecification::message);

    runToEnd(task.get());

    QCOMPARE(task->state(), TaskSpecification::TaskFinished);
    QCOMPARE(lines.count(), 0);
    QVERIFY(readFile(path("dst")) == data);
    QCOMPARE(journal.records.size(), 1);
    QCOMPARE(journal.records.at(0).operation, RollbackData::CreateFile);
    QCOMPARE(journal.records.at(0).path, path("dst"));
    QVERIFY(journal.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(path("dst")));
}

void tst_FileOpTasks::slowOperationWithoutJournal()
{
    QVERIFY(writeGzip(path("src.gz"), "abc"));
    FileUnzipTaskSpecification task(nullptr, path("src.gz"), path("dst"), nullptr, 1.0);
    runToEnd(&task);
    QCOMPARE(task.state(), TaskSpecification::TaskFinished);
    QCOMPARE(readFile(path("dst")), QByteArray("abc"));
}

void tst_FileOpTasks::copyKeepsContentAndPermissions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("mode");

    QTest::newRow("program") << QStringLiteral("tool") << 3 * 1024 * 1024 + 17 << 0755;
    QTest::newRow("private file") << QStringLiteral("notes.txt") << 5000 << 0600;
    QTest::newRow("read-only file, non-ASCII name") << QStringLiteral("Größe ✓.dat") << 70000 << 0444;
}

// A copy holds the source's bytes and exactly its permissions, whatever the umask.
void tst_FileOpTasks::copyKeepsContentAndPermissions()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(int, mode);

    const QByteArray data = sampleData(size);
    const QString source = path(name);
    const QString copy = path(QStringLiteral("copy of ") + name);
    QVERIFY(writeFile(source, data));
    QVERIFY(::chmod(QFile::encodeName(source).constData(), mode_t(mode)) == 0);

    FileCopyTaskSpecification task(nullptr, source, copy, nullptr, 1.0);
    runToEnd(&task);
    QCOMPARE(task.state(), TaskSpecification::TaskFinished);
    QVERIFY(readFile(copy) == data);
    struct stat status;
    QVERIFY(::stat(QFile::encodeName(copy).constData(), &status) == 0);
    QCOMPARE(int(status.st_mode & 07777), mode);
}

// Paths reach zlib in the file-name encoding, so a user's directory such as
// one with umlauts works.
void tst_FileOpTasks::unzipInNonAsciiDirectory()
{
    const QString dir = path(QStringLiteral("Größe Ünïcødé ✓"));
    QVERIFY(QDir().mkdir(dir));
    const QByteArray data = sampleData(70000);
    const QString source = dir + QStringLiteral("/dätei.gz");
    const QString destination = dir + QStringLiteral("/dätei");
    QVERIFY(writeGzip(source, data));
    RollbackDataList journal;
    FileUnzipTaskSpecification task(&journal, source, destination, nullptr, 1.0);
    runToEnd(&task);
    QCOMPARE(task.state(), TaskSpecification::TaskFinished);
    QVERIFY(readFile(destination) == data);
    QCOMPARE(journal.records.size(), 1);
}

// A source that cannot be read must not cost the file already at the destination.
void tst_FileOpTasks::unzipMissingSourceLeavesExistingDestination()
{
    QVERIFY(writeFile(path("dst"), "precious"));
    FileUnzipTaskSpecification task(nullptr, path("missing.gz"), path("dst"), nullptr, 1.0);
    runToEnd(&task);
    QCOMPARE(task.state(), TaskSpecification::TaskErrorCanceled);
    QCOMPARE(readFile(path("dst")), QByteArray("precious"));
}

QTEST_GUILESS_MAIN(tst_FileOpTasks)
#include "tst_fileoptasks.moc"
