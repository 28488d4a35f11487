#include "rollback.h"
#include "scriptedtask.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// Undo journal replay against real files in a temporary directory. The
// replay target is a task: its message signal receives the warning lines.
class tst_Rollback : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void replayIsLastInFirstOut_data();
    void replayIsLastInFirstOut();
    void failedStepsWarnAndTheReplayGoesOn();
    void renameBackOntoAnExistingFileWarns();
    void emptyJournalSucceedsSilently();
    void mergedJournalsUndoNewestFileFirst();
    void replayEmptiesTheJournal();

private:
    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    bool write(const QString &relative, const QByteArray &data = "data")
    {
        QFile f(path(relative));
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Rollback::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_Rollback::replayIsLastInFirstOut_data()
{
    QTest::addColumn<bool>("withTarget");
    QTest::newRow("with a target") << true;
    QTest::newRow("null target") << false;
}

// [create dir a, create file a/x, rename b→c]: only the reverse order can
// succeed, since a is not empty until a/x is gone.
void tst_Rollback::replayIsLastInFirstOut()
{
    QFETCH(bool, withTarget);
    QVERIFY(QDir(m_dir->path()).mkdir("a"));
    QVERIFY(write("a/x"));
    QVERIFY(write("c", "renamed"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateDir, path("a")));
    journal.add(RollbackData(RollbackData::CreateFile, path("a/x")));
    journal.add(RollbackData(RollbackData::Rename, path("b"), path("c")));

    ScriptedTask target("t", nullptr, nullptr);
    QSignalSpy lines(&target, &TaskSpecification::message);
    QVERIFY(journal.rollback(withTarget ? &target : nullptr));

    QCOMPARE(lines.count(), 0);
    QVERIFY(!QFileInfo::exists(path("a")));
    QVERIFY(!QFileInfo::exists(path("c")));
    QFile b(path("b"));
    QVERIFY(b.open(QIODevice::ReadOnly));
    QCOMPARE(b.readAll(), QByteArray("renamed"));
}

void tst_Rollback::failedStepsWarnAndTheReplayGoesOn()
{
    // a/x cannot be deleted as a file (it is a non-empty directory), so a
    // stays non-empty too: two warnings, and nothing inside a is touched.
    QVERIFY(QDir(m_dir->path()).mkpath("a/x"));
    QVERIFY(write("a/x/keep"));
    QVERIFY(write("z"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, path("z")));
    journal.add(RollbackData(RollbackData::CreateDir, path("a")));
    journal.add(RollbackData(RollbackData::CreateFile, path("a/x")));

    ScriptedTask target("t", nullptr, nullptr);
    QSignalSpy lines(&target, &TaskSpecification::message);
    QVERIFY(!journal.rollback(&target));

    QStringList texts;
    for (const QList<QVariant> &args : std::as_const(lines))
        texts << args.at(0).toString();
    QCOMPARE(texts, (QStringList{
                        QStringLiteral("warning: rollback create file %1 failed").arg(path("a/x")),
                        QStringLiteral("warning: rollback create dir %1 failed").arg(path("a"))}));
    QVERIFY(QFileInfo::exists(path("a/x/keep")));
    QVERIFY2(!QFileInfo::exists(path("z")), "steps after a failure must still run");
}

void tst_Rollback::renameBackOntoAnExistingFileWarns()
{
    QVERIFY(write("old", "someone else"));
    QVERIFY(write("new", "ours"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::Rename, path("old"), path("new")));
    journal.add(RollbackData(RollbackData::Rename, path("gone-before"), path("gone-after")));

    ScriptedTask target("t", nullptr, nullptr);
    QSignalSpy lines(&target, &TaskSpecification::message);
    QVERIFY(!journal.rollback(&target));

    QCOMPARE(lines.count(), 2);
    QCOMPARE(lines.at(0).at(0).toString(),
             QStringLiteral("warning: rollback rename %1 to %2 failed")
                 .arg(path("gone-before"), path("gone-after")));
    QCOMPARE(lines.at(1).at(0).toString(),
             QStringLiteral("warning: rollback rename %1 to %2 failed").arg(path("old"), path("new")));
    QFile old(path("old"));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("someone else"));
}

void tst_Rollback::emptyJournalSucceedsSilently()
{
    RollbackDataList journal;
    ScriptedTask target("t", nullptr, nullptr);
    QSignalSpy lines(&target, &TaskSpecification::message);
    QVERIFY(journal.rollback(&target));
    QCOMPARE(lines.count(), 0);
}

void tst_Rollback::mergedJournalsUndoNewestFileFirst()
{
    // Each file's journal is merged into the stage's when the file finished.
    // The rename chain f1 → f2 → f3 only comes undone newest first.
    QVERIFY(write("f3", "content"));
    RollbackDataList stage;
    RollbackDataList first;
    first.add(RollbackData(RollbackData::Rename, path("f1"), path("f2")));
    RollbackDataList second;
    second.add(RollbackData(RollbackData::Rename, path("f2"), path("f3")));
    stage.appendList(first);
    stage.appendList(second);
    QCOMPARE(stage.records.size(), 2);

    QVERIFY(stage.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(path("f2")));
    QVERIFY(!QFileInfo::exists(path("f3")));
    QFile f1(path("f1"));
    QVERIFY(f1.open(QIODevice::ReadOnly));
    QCOMPARE(f1.readAll(), QByteArray("content"));
}

void tst_Rollback::replayEmptiesTheJournal()
{
    QVERIFY(write("f"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, path("f")));
    QVERIFY(journal.rollback(nullptr));
    QVERIFY(journal.records.isEmpty());

    // A second replay must not undo anything again, even if the path reappears.
    QVERIFY(write("f"));
    QVERIFY(journal.rollback(nullptr));
    QVERIFY(QFileInfo::exists(path("f")));

    journal.add(RollbackData(RollbackData::CreateFile, path("f")));
    journal.clear();
    QVERIFY(journal.rollback(nullptr));
    QVERIFY(QFileInfo::exists(path("f")));
}

QTEST_GUILESS_MAIN(tst_Rollback)
#include "tst_rollback.moc"
