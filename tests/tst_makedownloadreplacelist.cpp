#include "configuration.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "stagesetup.h"
#include "testdirs.h"
#include "treesnapshot.h"

#include <QDir>
#include <QSettings>
#include <QtTest>

#include <memory>

using FileMap = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(FileMap)

namespace {

const QByteArray alphaData = "alphaData contents\n";
const QByteArray betaData = "betaData contents, a little longer\n";
const QByteArray gammaData = QByteArray(5000, 'g');
const QByteArray stale = "an older release of the file\n";

QString plain(const QByteArray &content)
{
    return md5Hex(content) + QStringLiteral("::") + QString::number(content.size());
}

QString packed(const QByteArray &content, const QString &unpackedName)
{
    const QByteArray gz = gzipBytes(content);
    return QStringLiteral("%1::%2::%3::%4::%5")
        .arg(md5Hex(gz))
        .arg(gz.size())
        .arg(md5Hex(content))
        .arg(content.size())
        .arg(unpackedName);
}

FileMap files(std::initializer_list<std::pair<QString, QByteArray>> entries)
{
    FileMap result;
    for (const auto &entry : entries)
        result.insert(entry.first, entry.second);
    return result;
}

QStringList names(const QList<FileDownloadSpecification> &list)
{
    QStringList result;
    for (const auto &entry : list)
        result << entry.section + QLatin1Char(':') + entry.fileName;
    return result;
}

QStringList names(const QList<FileReplaceSpecification> &list)
{
    QStringList result;
    for (const auto &entry : list)
        result << entry.section + QLatin1Char(':') + entry.fileName;
    return result;
}

} // namespace

// List compilation: how the product ini, the installation and the working directory together
// decide what to fetch, what to install and what to delete.
class tst_MakeDownloadReplaceList : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void destNames_data();
    void destNames();

    void compile_data();
    void compile();
    void recordFields();

    void rejects_data();
    void rejects();

    void taskHandsOverListsWithProgress();
    void failedTaskKeepsTarget();

private:
    void writeIni(const QByteArray &content);
    static void writeFiles(const QString &root, const FileMap &files);

    std::unique_ptr<TestDirs> m_dirs;
    std::unique_ptr<Configuration> m_config;
};

void tst_MakeDownloadReplaceList::init()
{
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
    m_config = stageConfiguration(*m_dirs);
    QVERIFY(m_config);
}

void tst_MakeDownloadReplaceList::cleanup()
{
    m_config.reset();
    m_dirs.reset();
}

void tst_MakeDownloadReplaceList::writeIni(const QByteArray &content)
{
    QVERIFY(TestDirs::writeFile(m_config->m_tempDir + QStringLiteral("/client_linux_x86.ini"), content));
}

void tst_MakeDownloadReplaceList::writeFiles(const QString &root, const FileMap &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(TestDirs::writeFile(root + QLatin1Char('/') + it.key(), it.value()));
}

void tst_MakeDownloadReplaceList::destNames_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unzipFileName");
    QTest::addColumn<QString>("pure");
    QTest::addColumn<QString>("old");

    QTest::newRow("plain top level") << "update" << "" << "update" << "_old_update";
    QTest::newRow("plain in directory") << "plugins/libx.so" << "" << "plugins/libx.so" << "plugins/_old_libx.so";
    QTest::newRow("packed takes unpacked name") << "data/big.gz" << "data/big.bin" << "data/big.bin"
                                                << "data/_old_big.bin";
    QTest::newRow("packed to top level") << "pack/c.gz" << "c.bin" << "c.bin" << "_old_c.bin";
    QTest::newRow("nested directories") << "a/b/c.txt" << "" << "a/b/c.txt" << "a/b/_old_c.txt";
}

void tst_MakeDownloadReplaceList::destNames()
{
    QFETCH(QString, fileName);
    QFETCH(QString, unzipFileName);
    QFETCH(QString, pure);
    QFETCH(QString, old);

    FileReplaceSpecification spec;
    spec.fileName = fileName;
    spec.unzipFileName = unzipFileName;
    QCOMPARE(spec.hasUnzip(), !unzipFileName.isEmpty());
    QCOMPARE(spec.pureDestFilePath(), pure);
    QCOMPARE(spec.destFileName(QString()), pure);
    QCOMPARE(spec.oldDestFileName(), old);
}

void tst_MakeDownloadReplaceList::compile_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<FileMap>("installed");
    QTest::addColumn<FileMap>("fetched");
    QTest::addColumn<QStringList>("downloads");
    QTest::addColumn<QStringList>("replaces");
    QTest::addColumn<QStringList>("deletes");

    // Sections and keys come out in sorted order, whatever their order in the file.
    const QByteArray release = QStringLiteral("[zeta]\nsub\\b.txt=%1\na.txt=%2\n[base]\nc.gz=%3\n")
                                   .arg(plain(betaData), plain(alphaData),
                                        packed(gammaData, QStringLiteral("bin/c.bin")))
                                   .toUtf8();

    QTest::newRow("fresh install") << release << FileMap() << FileMap()
                                   << QStringList{"base:c.gz", "zeta:a.txt", "zeta:sub/b.txt"}
                                   << QStringList{"base:c.gz", "zeta:a.txt", "zeta:sub/b.txt"} << QStringList();

    QTest::newRow("installation current, obsolete files")
        << release + "[delete]\nold.txt=\ngone.txt=\nsub/old.so=\n"
        << files({{"a.txt", alphaData}, {"sub/b.txt", betaData}, {"bin/c.bin", gammaData}, {"old.txt", "x"},
                  {"sub/old.so", "y"}})
        << FileMap() << QStringList() << QStringList() << QStringList{"old.txt", "sub/old.so"};

    QTest::newRow("outdated files, one already fetched")
        << release << files({{"a.txt", stale}, {"sub/b.txt", betaData}, {"bin/c.bin", stale}})
        << files({{"a.txt", alphaData}}) << QStringList{"base:c.gz"} << QStringList{"base:c.gz", "zeta:a.txt"}
        << QStringList();

    QTest::newRow("fetched copy with wrong sum is fetched again")
        << release << files({{"sub/b.txt", betaData}, {"bin/c.bin", gammaData}}) << files({{"a.txt", stale}})
        << QStringList{"zeta:a.txt"} << QStringList{"zeta:a.txt"} << QStringList();

    QTest::newRow("packed file in place needs no compressed copy")
        << QStringLiteral("[base]\nc.gz=%1\n").arg(packed(gammaData, QStringLiteral("c.bin"))).toUtf8()
        << files({{"c.bin", gammaData}}) << FileMap() << QStringList() << QStringList() << QStringList();

    QTest::newRow("packed file compared with installation by unpacked sum")
        << QStringLiteral("[base]\nc.gz=%1\n").arg(packed(gammaData, QStringLiteral("c.bin"))).toUtf8()
        << files({{"c.bin", gzipBytes(gammaData)}}) << files({{"c.gz", gzipBytes(gammaData)}}) << QStringList()
        << QStringList{"base:c.gz"} << QStringList();

    QTest::newRow("sizes are not compared")
        << QStringLiteral("[base]\na.txt=%1::999999\n").arg(md5Hex(alphaData)).toUtf8() << files({{"a.txt", alphaData}})
        << FileMap() << QStringList() << QStringList() << QStringList();

    QTest::newRow("upper-case sum matches")
        << QStringLiteral("[base]\na.txt=%1::1\n").arg(md5Hex(alphaData).toUpper()).toUtf8()
        << files({{"a.txt", alphaData}}) << FileMap() << QStringList() << QStringList() << QStringList();

    QTest::newRow("empty sum never matches")
        << QByteArray("[base]\na.txt=::1\n") << files({{"a.txt", alphaData}}) << files({{"a.txt", alphaData}})
        << QStringList{"base:a.txt"} << QStringList{"base:a.txt"} << QStringList();

    QTest::newRow("only obsolete files")
        << QByteArray("[delete]\nold.txt=\n") << files({{"old.txt", "x"}}) << FileMap() << QStringList()
        << QStringList() << QStringList{"old.txt"};
}

void tst_MakeDownloadReplaceList::compile()
{
    QFETCH(QByteArray, ini);
    QFETCH(FileMap, installed);
    QFETCH(FileMap, fetched);
    QFETCH(QStringList, downloads);
    QFETCH(QStringList, replaces);
    QFETCH(QStringList, deletes);

    writeIni(ini);
    writeFiles(m_dirs->appDir(), installed);
    writeFiles(m_config->m_tempDir, fetched);
    const auto before = treeSnapshot(m_dirs->appDir());

    FileSpecifications output;
    output.deletes << QStringLiteral("left over from an earlier compilation");
    MakeDownloadReplaceListFunc func(m_config.get(), output);
    QSignalSpy messages(&func, SIGNAL(message(QString)));
    QVERIFY(func.run());

    QCOMPARE(names(output.downloads), downloads);
    QCOMPARE(names(output.replaces), replaces);
    QCOMPARE(output.deletes, deletes);
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Compiling download and replace list"));
    QCOMPARE(treeSnapshot(m_dirs->appDir()), before);
}

void tst_MakeDownloadReplaceList::recordFields()
{
    const QByteArray gz = gzipBytes(gammaData);
    writeIni(QStringLiteral("[base]\nc.gz=%1\n[zeta]\nsub\\b.txt=%2::notanumber\n")
                 .arg(packed(gammaData, QStringLiteral("bin/c.bin")), md5Hex(betaData))
                 .toUtf8());
    FileSpecifications output;
    MakeDownloadReplaceListFunc func(m_config.get(), output);
    QVERIFY(func.run());

    QCOMPARE(output.downloads.size(), 2);
    QCOMPARE(output.replaces.size(), 2);
    const FileDownloadSpecification &download = output.downloads.at(0);
    QCOMPARE(download.section, QStringLiteral("base"));
    QCOMPARE(download.fileName, QStringLiteral("c.gz"));
    QCOMPARE(download.md5, md5Hex(gz));
    QCOMPARE(download.size, quint64(gz.size()));
    const FileReplaceSpecification &replace = output.replaces.at(0);
    QCOMPARE(replace.section, QStringLiteral("base"));
    QCOMPARE(replace.fileName, QStringLiteral("c.gz"));
    QCOMPARE(replace.unzipMd5, md5Hex(gammaData));
    QCOMPARE(replace.unzipSize, quint64(gammaData.size()));
    QCOMPARE(replace.unzipFileName, QStringLiteral("bin/c.bin"));

    QCOMPARE(output.downloads.at(1).size, quint64(0));
    QCOMPARE(output.replaces.at(1).fileName, QStringLiteral("sub/b.txt"));
    QVERIFY(!output.replaces.at(1).hasUnzip());
    QCOMPARE(output.replaces.at(1).unzipSize, quint64(0));
}

void tst_MakeDownloadReplaceList::rejects_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("expected");

    const QString ok = plain(alphaData);
    const QString invalid = QStringLiteral("Warning: product ini contains invalid line in section %1");
    const QString unsafe = QStringLiteral("Warning: product ini contains unsafe path %1 in section %2");

    QTest::newRow("no product ini") << QByteArray() << QStringLiteral("No files in product ini");
    QTest::newRow("no keys") << QByteArray("[base]\n[delete]\n") << QStringLiteral("No files in product ini");
    QTest::newRow("three fields") << QByteArray("[base]\nabc=abc::12::\n") << invalid.arg("base");
    QTest::newRow("one field") << QStringLiteral("[a]\nx=%1\n[base]\ny=abc\n").arg(ok).toUtf8() << invalid.arg("base");
    QTest::newRow("six fields") << QByteArray("[base]\ny=1::2::3::4::5::6\n") << invalid.arg("base");
    QTest::newRow("parent component in key")
        << QStringLiteral("[base]\n..%2Fevil=%1\n").arg(ok).toUtf8() << unsafe.arg("../evil", "base");
    QTest::newRow("parent component inside key")
        << QStringLiteral("[base]\nsub\\..\\..\\evil=%1\n").arg(ok).toUtf8() << unsafe.arg("sub/../../evil", "base");
    QTest::newRow("absolute key")
        << QStringLiteral("[base]\n%2Fetc%2Fevil=%1\n").arg(ok).toUtf8() << unsafe.arg("/etc/evil", "base");
    QTest::newRow("backslash in key")
        << QStringLiteral("[base]\nsub%5Cevil=%1\n").arg(ok).toUtf8() << unsafe.arg("sub\\evil", "base");
    QTest::newRow("unpacked name escapes")
        << QStringLiteral("[base]\nc.gz=%1::1::%1::1::../../evil\n").arg(md5Hex(alphaData)).toUtf8()
        << unsafe.arg("../../evil", "base");
    QTest::newRow("absolute unpacked name")
        << QStringLiteral("[base]\nc.gz=%1::1::%1::1::/tmp/evil\n").arg(md5Hex(alphaData)).toUtf8()
        << unsafe.arg("/tmp/evil", "base");
    QTest::newRow("empty unpacked name")
        << QStringLiteral("[base]\nc.gz=%1::1::%1::1::\n").arg(md5Hex(alphaData)).toUtf8() << unsafe.arg("", "base");
    QTest::newRow("delete key escapes")
        << QStringLiteral("[base]\na.txt=%1\n[delete]\n..%2F..%2Fvictim=\n").arg(ok).toUtf8()
        << unsafe.arg("../../victim", "delete");
}

void tst_MakeDownloadReplaceList::rejects()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, expected);

    if (!ini.isEmpty())
        writeIni(ini);
    // The escaping names must not be acted on even when their targets exist.
    QVERIFY(TestDirs::writeFile(m_dirs->tempDir() + QStringLiteral("/victim"), "keep"));

    FileSpecifications output;
    MakeDownloadReplaceListFunc func(m_config.get(), output);
    QSignalSpy messages(&func, SIGNAL(message(QString)));
    QVERIFY(!func.run());
    QVERIFY(!messages.isEmpty());
    QCOMPARE(messages.last().at(0).toString(), expected);
}

void tst_MakeDownloadReplaceList::taskHandsOverListsWithProgress()
{
    writeIni(QStringLiteral("[base]\na.txt=%1\nb.txt=%2\nc.txt=%1\n[delete]\nold.txt=\n")
                 .arg(plain(alphaData), plain(betaData))
                 .toUtf8());
    QVERIFY(TestDirs::writeFile(m_dirs->appFile("b.txt"), betaData));
    QVERIFY(TestDirs::writeFile(m_dirs->appFile("old.txt"), "obsolete"));

    FileSpecifications target;
    MakeDownloadReplaceListTaskSpecification task(m_config.get(), target, nullptr, 0.05);
    QSignalSpy progress(&task, SIGNAL(updateProgress(qreal)));
    QSignalSpy finished(&task, SIGNAL(finished(TaskSpecification*)));
    task.execute();
    QVERIFY(target.replaces.isEmpty());
    QVERIFY(finished.wait(10000));

    QCOMPARE(names(target.downloads), (QStringList{"base:a.txt", "base:c.txt"}));
    QCOMPARE(names(target.replaces), (QStringList{"base:a.txt", "base:c.txt"}));
    QCOMPARE(target.deletes, QStringList{"old.txt"});

    // One report per entry (entries done over entries in total), then the finish.
    QList<qreal> values;
    for (const auto &args : progress)
        values << args.at(0).toReal();
    QCOMPARE(values.size(), 5);
    for (int i = 0; i < 4; ++i)
        QVERIFY2(qAbs(values.at(i) - 0.05 * (i + 1) / 4) < 1e-9, qPrintable(QString::number(values.at(i))));
    QCOMPARE(values.last(), 0.05);
}

void tst_MakeDownloadReplaceList::failedTaskKeepsTarget()
{
    writeIni(QStringLiteral("[base]\na.txt=%1\nb.txt=abc::12::\n").arg(plain(alphaData)).toUtf8());
    FileSpecifications target;
    target.deletes << QStringLiteral("marker");

    MakeDownloadReplaceListTaskSpecification task(m_config.get(), target, nullptr, 1.0);
    QSignalSpy canceled(&task, SIGNAL(canceled(TaskSpecification*)));
    QSignalSpy messages(&task, SIGNAL(message(QString)));
    task.execute();
    QVERIFY(canceled.wait(10000));
    QCOMPARE(task.state(), TaskSpecification::TaskErrorCanceled);
    QVERIFY(target.downloads.isEmpty());
    QVERIFY(target.replaces.isEmpty());
    QCOMPARE(target.deletes, QStringList{"marker"});
    QCOMPARE(messages.last().at(0).toString(),
             QStringLiteral("Warning: product ini contains invalid line in section base"));
}

QTEST_MAIN(tst_MakeDownloadReplaceList)
#include "tst_makedownloadreplacelist.moc"
