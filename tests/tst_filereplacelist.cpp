#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "dircreatetaskspecification.h"
#include "stagesetup.h"
#include "testdirs.h"
#include "treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <memory>

namespace {

const QFileDevice::Permissions everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
                                          | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                          | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
const QFileDevice::Permissions ordinary = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                          | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;

FileReplaceSpecification plainEntry(const QString &name)
{
    FileReplaceSpecification spec;
    spec.section = QStringLiteral("client");
    spec.fileName = name;
    return spec;
}

FileReplaceSpecification packedEntry(const QString &name, const QString &unpacked, const QByteArray &content)
{
    FileReplaceSpecification spec = plainEntry(name);
    spec.unzipFileName = unpacked;
    spec.unzipMd5 = md5Hex(content);
    spec.unzipSize = quint64(content.size());
    return spec;
}

bool endsWell(TaskSpecification *task, int timeout = 10000)
{
    QSignalSpy finished(task, SIGNAL(finished(TaskSpecification*)));
    QSignalSpy canceled(task, SIGNAL(canceled(TaskSpecification*)));
    task->execute();
    if (!QTest::qWaitFor([&] { return finished.size() + canceled.size() > 0; }, timeout))
        return false;
    // Nothing may end the task a second time afterwards.
    QTest::qWait(50);
    return finished.size() == 1 && canceled.isEmpty();
}

} // namespace

// The installation and deletion stages on real directories: what ends up installed, what is
// set aside, what is executable, and that a failure leaves the installation untouched.
class tst_FileReplaceList : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void installsReplacesAndCleansUp();
    void staleOldCopyIsReplaced();
    void newCopyIsVerifiedBesideInstalledFile_data();
    void newCopyIsVerifiedBesideInstalledFile();
    void createsDirectoriesFirstInOrder();
    void emptyListFinishesAtOnce();

    void executableNames_data();
    void executableNames();

    void failureRollsBackEverything_data();
    void failureRollsBackEverything();
    void resetOfFinishedStageUndoesIt();

    void deleteStageSkipsMissingFiles();

private:
    QString app(const QString &relative) const { return m_dirs->appFile(relative); }
    QString temp(const QString &relative) const { return m_config->m_tempDir + QLatin1Char('/') + relative; }

    std::unique_ptr<TestDirs> m_dirs;
    std::unique_ptr<Configuration> m_config;
};

void tst_FileReplaceList::init()
{
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
    m_config = stageConfiguration(*m_dirs);
    QVERIFY(m_config);
}

void tst_FileReplaceList::cleanup()
{
    m_config.reset();
    m_dirs.reset();
}

void tst_FileReplaceList::installsReplacesAndCleansUp()
{
    // Installed before: the updater itself (special), a library (not special), a data file.
    QVERIFY(TestDirs::writeFile(app("update"), "old updater"));
    QVERIFY(TestDirs::writeFile(app("lib/libcore.so.4"), "old core"));
    QVERIFY(TestDirs::writeFile(app("data.txt"), "old data"));
    QVERIFY(TestDirs::writeFile(app("keep.txt"), "untouched"));
    QVERIFY(TestDirs::writeFile(temp("update"), "new updater"));
    QVERIFY(TestDirs::writeFile(temp("lib/libcore.so.4"), "new core"));
    QVERIFY(TestDirs::writeFile(temp("data.txt"), "new data"));
    QVERIFY(TestDirs::writeFile(temp("fresh/new.txt"), "brand new"));
    const QByteArray big = QByteArray(100000, 'z') + "tail";
    QVERIFY(TestDirs::writeFile(temp("pack/big.gz"), gzipBytes(big)));

    QList<FileReplaceSpecification> replaces{plainEntry("update"), plainEntry("lib/libcore.so.4"),
                                             plainEntry("data.txt"), plainEntry("fresh/new.txt"),
                                             packedEntry("pack/big.gz", "bin/big.bin", big)};
    QList<QString> deletes{QStringLiteral("obsolete.txt")};
    FileReplaceListTaskSpecification stage(&replaces, &deletes, m_config.get(), nullptr, 0.4);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QVERIFY(endsWell(&stage));
    QCOMPARE(stage.progress(), 0.4);
    QCOMPARE(messages.first().at(0).toString(), QStringLiteral("Starting file updates"));
    QVERIFY(messages.contains(QVariantList{QStringLiteral("add/replace pack/big.gz")}));

    QCOMPARE(TestDirs::readFile(app("update")), QByteArray("new updater"));
    QCOMPARE(TestDirs::readFile(app("lib/libcore.so.4")), QByteArray("new core"));
    QCOMPARE(TestDirs::readFile(app("data.txt")), QByteArray("new data"));
    QCOMPARE(TestDirs::readFile(app("fresh/new.txt")), QByteArray("brand new"));
    QCOMPARE(TestDirs::readFile(app("bin/big.bin")), big);
    QVERIFY(!QFileInfo::exists(app("pack/big.gz")));
    // The sources stay in the working directory: a later run may still need them.
    QVERIFY(QFileInfo::exists(temp("data.txt")));
    QCOMPARE(TestDirs::readFile(app("_old_update")), QByteArray("old updater"));
    QCOMPARE(TestDirs::readFile(app("lib/_old_libcore.so.4")), QByteArray("old core"));
    // Finished files no longer hold their steps; their undo records live in the stage's journal.
    for (TaskSpecification *task : stage.subTasks()) {
        if (auto *composed = qobject_cast<ComposedTaskSpecification *>(task))
            QVERIFY(composed->subTasks().isEmpty());
    }

    // The old copies of ordinary files follow the product's own obsolete files; the special one stays.
    QList<QString> sorted = deletes.mid(1);
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(deletes.first(), QStringLiteral("obsolete.txt"));
    QCOMPARE(sorted, (QList<QString>{"_old_data.txt", "lib/_old_libcore.so.4"}));

    QCOMPARE(QFile::permissions(app("update")) & everyone, everyone);
    QCOMPARE(QFile::permissions(app("lib/libcore.so.4")) & everyone, everyone);
    QVERIFY(!(QFile::permissions(app("data.txt")) & QFileDevice::ExeOther));

    QVERIFY(TestDirs::writeFile(app("obsolete.txt"), "bye"));
    FileDeleteListTaskSpecification deleteStage(&deletes, nullptr, 0.05);
    QSignalSpy deleteMessages(&deleteStage, SIGNAL(message(QString)));
    QVERIFY(endsWell(&deleteStage));
    QCOMPARE(deleteMessages.first().at(0).toString(), QStringLiteral("Starting deleting files"));

    const auto after = treeSnapshot(m_dirs->appDir());
    QCOMPARE(after.keys(), (QStringList{"_old_update", "bin", "bin/big.bin", "data.txt", "fresh", "fresh/new.txt",
                                        "keep.txt", "lib", "lib/libcore.so.4", "update"}));
    QCOMPARE(after.value("keep.txt"), QByteArray("untouched"));
}

void tst_FileReplaceList::staleOldCopyIsReplaced()
{
    QVERIFY(TestDirs::writeFile(app("update"), "current updater"));
    QVERIFY(TestDirs::writeFile(app("_old_update"), "updater from two runs ago"));
    QVERIFY(TestDirs::writeFile(temp("update"), "next updater"));

    QList<FileReplaceSpecification> replaces{plainEntry("update")};
    QList<QString> deletes;
    FileReplaceListTaskSpecification stage(&replaces, &deletes, m_config.get(), nullptr, 1.0);
    QVERIFY(endsWell(&stage));
    QCOMPARE(TestDirs::readFile(app("update")), QByteArray("next updater"));
    QCOMPARE(TestDirs::readFile(app("_old_update")), QByteArray("current updater"));
    QVERIFY(deletes.isEmpty());
}

void tst_FileReplaceList::newCopyIsVerifiedBesideInstalledFile_data()
{
    QTest::addColumn<bool>("goodCopy");
    QTest::newRow("new copy passes its check") << true;
    QTest::newRow("new copy fails its check") << false;
}

// The new copy is unpacked and checked under its "_new_" name while the installed file stays
// whole at its own name; a staged copy left by a killed run is replaced, never installed.
void tst_FileReplaceList::newCopyIsVerifiedBesideInstalledFile()
{
    QFETCH(bool, goodCopy);
    const QByteArray tool = "the tool, unpacked";
    QVERIFY(TestDirs::writeFile(app("bin/tool.bin"), "old tool"));
    QVERIFY(TestDirs::writeFile(app("bin/_new_tool.bin"), "cut short by a killed run"));
    QVERIFY(TestDirs::writeFile(temp("pack/tool.gz"), gzipBytes(goodCopy ? tool : QByteArray("not the tool"))));

    QList<FileReplaceSpecification> replaces{packedEntry("pack/tool.gz", "bin/tool.bin", tool)};
    QList<QString> deletes;
    FileReplaceListTaskSpecification stage(&replaces, &deletes, m_config.get(), nullptr, 1.0);
    QStringList atCheckFailure;
    connect(&stage, &TaskSpecification::message, this, [&](const QString &line) {
        if (line.startsWith(QLatin1String("Signature check failed")))
            atCheckFailure << QString::fromLatin1(TestDirs::readFile(app("bin/tool.bin")))
                           << QString::number(QFileInfo::exists(app("bin/_old_tool.bin")));
    });
    QCOMPARE(endsWell(&stage), goodCopy);

    QVERIFY(!QFileInfo::exists(app("bin/_new_tool.bin")));
    if (goodCopy) {
        QCOMPARE(TestDirs::readFile(app("bin/tool.bin")), tool);
        QCOMPARE(TestDirs::readFile(app("bin/_old_tool.bin")), QByteArray("old tool"));
        QCOMPARE(deletes, QList<QString>{QStringLiteral("bin/_old_tool.bin")});
    } else {
        QCOMPARE(atCheckFailure, (QStringList{QStringLiteral("old tool"), QStringLiteral("0")}));
        QCOMPARE(TestDirs::readFile(app("bin/tool.bin")), QByteArray("old tool"));
        QVERIFY(!QFileInfo::exists(app("bin/_old_tool.bin")));
    }
}

void tst_FileReplaceList::createsDirectoriesFirstInOrder()
{
    QVERIFY(TestDirs::writeFile(temp("a/b/one"), "1"));
    QVERIFY(TestDirs::writeFile(temp("a/two"), "2"));
    QVERIFY(TestDirs::writeFile(temp("a/b/three"), "3"));
    QList<FileReplaceSpecification> replaces{plainEntry("a/b/one"), plainEntry("a/two"), plainEntry("a/b/three")};
    QList<QString> deletes;
    FileReplaceListTaskSpecification stage(&replaces, &deletes, m_config.get(), nullptr, 1.0);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QVERIFY(endsWell(&stage));
    // Directory tasks come first in the subtask list, sorted so that a parent precedes its children.
    QCOMPARE(stage.subTasks().size(), 5);
    QCOMPARE(qobject_cast<DirCreateTaskSpecification *>(stage.subTasks().at(0))->path(), app("a"));
    QCOMPARE(qobject_cast<DirCreateTaskSpecification *>(stage.subTasks().at(1))->path(), app("a/b"));
    QCOMPARE(TestDirs::readFile(app("a/b/one")), QByteArray("1"));
    QCOMPARE(TestDirs::readFile(app("a/two")), QByteArray("2"));
    QCOMPARE(TestDirs::readFile(app("a/b/three")), QByteArray("3"));

    // Directory creation comes before every file; a replay removes files, then b, then a.
    stage.reset();
    QCOMPARE(treeSnapshot(m_dirs->appDir()), (QMap<QString, QByteArray>()));
}

void tst_FileReplaceList::emptyListFinishesAtOnce()
{
    QList<FileReplaceSpecification> replaces;
    QList<QString> deletes;
    FileReplaceListTaskSpecification stage(&replaces, &deletes, m_config.get(), nullptr, 0.4);
    QSignalSpy finished(&stage, SIGNAL(finished(TaskSpecification*)));
    stage.execute();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(stage.progress(), 0.4);

    FileDeleteListTaskSpecification deleteStage(&deletes, nullptr, 0.05);
    QSignalSpy deleteFinished(&deleteStage, SIGNAL(finished(TaskSpecification*)));
    deleteStage.execute();
    QCOMPARE(deleteFinished.size(), 1);
}

void tst_FileReplaceList::executableNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("executable");

    QTest::newRow("client program") << "cv3client_linux_x86" << true;
    QTest::newRow("64-bit client") << "bin/cv3client_linux_amd64" << true;
    QTest::newRow("start script") << "cv3client_runscript.sh" << true;
    QTest::newRow("error reporter") << "error_report" << true;
    QTest::newRow("package installer") << "package_inst" << true;
    QTest::newRow("library .so") << "plugins/libfoo.so" << true;
    QTest::newRow("library .so.4") << "libQtCore.so.4" << true;
    QTest::newRow("library .so.4.1") << "libfoo.so.4.1" << false;
    QTest::newRow("second dot before so") << "lib.plugin.so" << false;
    QTest::newRow("names compared case-sensitively") << "Update" << false;
    QTest::newRow("ordinary data") << "readme.txt" << false;
    QTest::newRow("suffix only as whole") << "notes.so.txt" << false;
}

void tst_FileReplaceList::executableNames()
{
    QFETCH(QString, name);
    QFETCH(bool, executable);

    const QString path = app(name);
    QVERIFY(TestDirs::writeFile(path, "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(path, ordinary));
    FileReplaceTaskSpecification::makeSingleFileExecutable(path);
    QCOMPARE(QFile::permissions(path) & everyone, executable ? everyone : ordinary);
}

void tst_FileReplaceList::failureRollsBackEverything_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("installedName");
    QTest::addColumn<QString>("message");

    QTest::newRow("unpacked file has wrong sum")
        << "badsum" << "bin/tool.bin" << "Signature check failed for %1/bin/_new_tool.bin";
    QTest::newRow("packed file missing")
        << "missing" << "bin/tool.bin" << "Could not unzip '%2/pack/tool.gz' to '%1/bin/_new_tool.bin'";
    QTest::newRow("plain file missing") << "missing" << "" << "Could not copy '%2/pack/tool.gz' to '%1/pack/_new_tool.gz'";
    QTest::newRow("directory blocked by a file")
        << "fileblocked" << "bin/sub/tool.bin"
        << "Could not create dir '%1/bin' because it already exists and is not a dir";
}

void tst_FileReplaceList::failureRollsBackEverything()
{
    QFETCH(QString, failure);
    QFETCH(QString, installedName);
    QFETCH(QString, message);

    // An installation with a replaced file, a special file and a sub-directory.
    QVERIFY(TestDirs::writeFile(app("update"), "old updater"));
    QVERIFY(TestDirs::writeFile(app("data.txt"), "old data"));
    QVERIFY(TestDirs::writeFile(app("lib/libcore.so"), "old core"));
    QVERIFY(QFile::setPermissions(app("lib/libcore.so"), ordinary));
    const QByteArray tool = "the tool, unpacked";
    if (failure == QLatin1String("fileblocked"))
        QVERIFY(TestDirs::writeFile(app("bin"), "a file where a directory is needed"));
    const auto before = treeSnapshot(m_dirs->appDir());

    QVERIFY(TestDirs::writeFile(temp("update"), "new updater"));
    QVERIFY(TestDirs::writeFile(temp("data.txt"), "new data"));
    QVERIFY(TestDirs::writeFile(temp("lib/libcore.so"), "new core"));
    QVERIFY(TestDirs::writeFile(temp("extra/new.txt"), "new file in a new directory"));
    if (failure == QLatin1String("badsum"))
        QVERIFY(TestDirs::writeFile(temp("pack/tool.gz"), gzipBytes("not the tool")));
    else if (failure != QLatin1String("missing"))
        QVERIFY(TestDirs::writeFile(temp("pack/tool.gz"), gzipBytes(tool)));

    // The failing file comes last, so the others have been installed when it fails.
    QList<FileReplaceSpecification> replaces{plainEntry("update"), plainEntry("data.txt"),
                                             plainEntry("lib/libcore.so"), plainEntry("extra/new.txt")};
    replaces << (installedName.isEmpty() ? plainEntry("pack/tool.gz")
                                         : packedEntry("pack/tool.gz", installedName, tool));
    QList<QString> deletes;
    FileReplaceListTaskSpecification stage(&replaces, &deletes, m_config.get(), nullptr, 0.4);
    QSignalSpy messages(&stage, SIGNAL(message(QString)));
    QVERIFY(!endsWell(&stage));
    QCOMPARE(stage.state(), TaskSpecification::TaskErrorCanceled);

    const QStringList lines = spyTexts(messages);
    const QString expected = QString(message).replace("%1", m_dirs->appDir()).replace("%2", m_config->m_tempDir);
    QVERIFY2(lines.contains(expected), qPrintable(lines.join('\n')));
    QVERIFY2(lines.contains(QStringLiteral("rolling back file updates")), qPrintable(lines.join('\n')));
    QVERIFY2(!lines.join('\n').contains(QStringLiteral("warning: rollback")), qPrintable(lines.join('\n')));

    QCOMPARE(treeSnapshot(m_dirs->appDir()), before);
    QCOMPARE(QFile::permissions(app("lib/libcore.so")) & everyone, ordinary);
}

void tst_FileReplaceList::resetOfFinishedStageUndoesIt()
{
    QVERIFY(TestDirs::writeFile(app("data.txt"), "old data"));
    const auto before = treeSnapshot(m_dirs->appDir());
    QVERIFY(TestDirs::writeFile(temp("data.txt"), "new data"));
    QVERIFY(TestDirs::writeFile(temp("d/e/f.txt"), "deep"));

    QList<FileReplaceSpecification> replaces{plainEntry("data.txt"), plainEntry("d/e/f.txt")};
    QList<QString> deletes;
    FileReplaceListTaskSpecification stage(&replaces, &deletes, m_config.get(), nullptr, 1.0);
    QVERIFY(endsWell(&stage));
    QCOMPARE(TestDirs::readFile(app("d/e/f.txt")), QByteArray("deep"));
    stage.reset();
    QCOMPARE(stage.state(), TaskSpecification::TaskIdle);
    QCOMPARE(treeSnapshot(m_dirs->appDir()), before);
}

void tst_FileReplaceList::deleteStageSkipsMissingFiles()
{
    QVERIFY(TestDirs::writeFile(app("a.txt"), "a"));
    QVERIFY(TestDirs::writeFile(app("sub/_old_b.so"), "b"));
    QVERIFY(QDir().mkpath(app("adir")));
    QList<QString> deletes{QStringLiteral("vanished.txt"), QStringLiteral("a.txt"), QStringLiteral("adir"),
                           QStringLiteral("sub/_old_b.so")};
    FileDeleteListTaskSpecification stage(&deletes, nullptr, 0.05);
    QVERIFY(endsWell(&stage));
    QCOMPARE(stage.progress(), 0.05);
    QCOMPARE(treeSnapshot(m_dirs->appDir()).keys(), (QStringList{"adir", "sub"}));
}

QTEST_MAIN(tst_FileReplaceList)
#include "tst_filereplacelist.moc"
