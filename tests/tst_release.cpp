#include "productini.h"
#include "releasebuilder.h"
#include "releasefixture.h"
#include "releasekey.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray gunzipFile(const QString &path)
{
    gzFile in = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!in)
        return QByteArray();
    QByteArray out;
    char buf[4096];
    int n;
    while ((n = gzread(in, buf, sizeof buf)) > 0)
        out.append(buf, n);
    gzclose(in);
    return out;
}

// One line of a product ini as the updater reads it.
struct ReadEntry
{
    QString section;
    QString key;
    QStringList fields;
};

// Reads the product ini the way the updater does: the settings reader, every
// group, all its keys, the value as a string split at "::".
QList<ReadEntry> readAsUpdater(const QString &path, QStringList *deletes)
{
    QList<ReadEntry> entries;
    QSettings settings(path, QSettings::IniFormat);
    for (const QString &section : settings.childGroups()) {
        settings.beginGroup(section);
        for (const QString &key : settings.allKeys()) {
            if (section == QLatin1String("delete"))
                deletes->append(key);
            else
                entries.append({section, key,
                                settings.value(key).toString().split(QStringLiteral("::"), Qt::KeepEmptyParts)});
        }
        settings.endGroup();
    }
    return entries;
}

QString toolPath()
{
    const QString buildDir = qEnvironmentVariable("CORVANE_BUILD_DIR");
    const QString path = buildDir + QStringLiteral("/tools/release/corvane-release");
    return !buildDir.isEmpty() && QFileInfo(path).isExecutable() ? path : QString();
}

int runTool(const QString &tool, const QStringList &arguments)
{
    QProcess p;
    p.start(tool, arguments);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return p.exitCode();
}

} // namespace

class tst_Release : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void releaseVerifiesAndMatchesItsFiles();
    void awkwardFileNamesRoundTrip();
    void packPatterns_data();
    void packPatterns();
    void deleteSection_data();
    void deleteSection();
    void refusesBadInput_data();
    void refusesBadInput();
    void failedBuildKeepsExistingRelease();
    void linkedDirectoryIsPublished();
    void replaceExisting();
    void signedManifestFixture();

    void commandLine_data();
    void commandLine();
    void commandLineKeyPair();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_Release::initTestCase()
{
    QVERIFY(!ReleaseFixture::signingKey().isNull());
    QVERIFY(ReleaseFixture::signingKey().isPrivate());
    // The fixtures are only useful if the updater's own key accepts them.
    const QByteArray probe("probe");
    QVERIFY2(ReleaseKey::builtIn().verify(probe, ReleaseFixture::signingKey().sign(probe)),
             "the test signing key is not the private half of the built-in key; "
             "configure with CORVANE_TEST_SIGNING_KEY_FILE matching CORVANE_PUBLIC_KEY_FILE");
}

void tst_Release::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_Release::cleanup()
{
    m_dir.reset();
}

void tst_Release::releaseVerifiesAndMatchesItsFiles()
{
    QByteArray big(300000, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char((i * 7919) % 251);
    const QMap<QString, QByteArray> files{
        {"update", "#!/bin/sh\necho updater\n"},
        {"cv3client_runscript.sh", "#!/bin/sh\n"},
        {"data/pak0.pak", big},
        {"lib/deep/libgame.so", big.left(5000)},
        {"empty.txt", ""},
        {".hidden", "dot file"},
    };
    ReleaseFixture::Options options;
    options.pack = {"*.so", "data/pak0.pak"};
    options.changeLog = "Version 5: things changed\n";
    const auto release = ReleaseFixture::build(path("mirror"), 5, files, options);
    QVERIFY2(release.ok, qPrintable(release.error));
    QCOMPARE(release.versionDir, path("mirror") + "/5");
    QCOMPARE(release.productIniPath, path("mirror") + "/5/client_linux_x86.ini");

    // The signature is the updater's: raw 128 bytes, verified with the built-in key.
    const QByteArray sig = readAll(release.productIniPath + ".sig");
    QCOMPARE(sig.size(), 128);
    QString error;
    QVERIFY2(ReleaseKey::builtIn().verifyFile(release.productIniPath, QString(), &error), qPrintable(error));

    QStringList deletes;
    const QList<ReadEntry> entries = readAsUpdater(release.productIniPath, &deletes);
    QVERIFY(deletes.isEmpty());
    QCOMPARE(entries.size(), files.size());
    const QRegularExpression md5Form(QStringLiteral("^[0-9a-f]{32}$"));
    QSet<QString> installed;
    for (const ReadEntry &e : entries) {
        QCOMPARE(e.section, QStringLiteral("client"));
        const QString onMirror = release.versionDir + "/client/" + e.key;
        const QByteArray published = readAll(onMirror);
        QVERIFY2(QFileInfo(onMirror).isFile(), qPrintable(onMirror));
        QVERIFY2(md5Form.match(e.fields.at(0)).hasMatch(), qPrintable(e.fields.at(0)));
        QCOMPARE(e.fields.at(0).toLatin1(), ReleaseFixture::md5Hex(published));
        QCOMPARE(e.fields.at(1).toULongLong(), quint64(published.size()));
        if (e.fields.size() == 2) {
            QCOMPARE(published, files.value(e.key));
            installed.insert(e.key);
            continue;
        }
        QCOMPARE(e.fields.size(), 5);
        const QString original = e.fields.at(4);
        QCOMPARE(e.key, original + ".gz");
        QVERIFY2(files.contains(original), qPrintable(original));
        QCOMPARE(gunzipFile(onMirror), files.value(original));
        QVERIFY(md5Form.match(e.fields.at(2)).hasMatch());
        QCOMPARE(e.fields.at(2).toLatin1(), ReleaseFixture::md5Hex(files.value(original)));
        QCOMPARE(e.fields.at(3).toULongLong(), quint64(files.value(original).size()));
        installed.insert(original);
    }
    QCOMPARE(installed, QSet<QString>(files.keyBegin(), files.keyEnd()));
    QVERIFY(QFileInfo::exists(release.versionDir + "/client/data/pak0.pak.gz"));
    QVERIFY(!QFileInfo::exists(release.versionDir + "/client/data/pak0.pak"));
    QCOMPARE(readAll(release.versionDir + "/changelog_client.txt"), options.changeLog);
}

// Names that the INI text must escape: each must come back as the same key, and
// a packed entry's unpacked name must stay one string (a bare comma would make a list).
void tst_Release::awkwardFileNamesRoundTrip()
{
    const QStringList names{
        "dir with space/a b.txt", "pct%20.txt", "comma,name.txt", "eq=sign.txt", "semi;colon.txt",
        QString::fromUtf8("\xc3\xbcmlaut/\xe6\x97\xa5\xe6\x9c\xac.txt"), "#hash.txt", "[bracket].txt",
        "quote\"d.txt", " leading space.txt", "UPPER.TXT", "upper.txt"};
    QMap<QString, QByteArray> files;
    for (const QString &n : names)
        files.insert(n, n.toUtf8());
    ReleaseFixture::Options options;
    options.pack = {"comma,name.txt", "eq=sign.txt", QString::fromUtf8("\xc3\xbcmlaut/*")};
    options.deletes = {"old dir/gone,file.txt"};
    const auto release = ReleaseFixture::build(path("mirror"), 1, files, options);
    QVERIFY2(release.ok, qPrintable(release.error));

    QStringList deletes;
    QMap<QString, QString> installedFromKey;
    for (const ReadEntry &e : readAsUpdater(release.productIniPath, &deletes)) {
        QVERIFY2(e.fields.size() == 2 || e.fields.size() == 5, qPrintable(e.key));
        installedFromKey.insert(e.fields.size() == 5 ? e.fields.at(4) : e.key, e.key);
        QVERIFY2(QFileInfo::exists(release.versionDir + "/client/" + e.key), qPrintable(e.key));
    }
    QStringList sortedNames = names;
    std::sort(sortedNames.begin(), sortedNames.end());
    QCOMPARE(installedFromKey.keys(), sortedNames);
    QCOMPARE(installedFromKey.value("comma,name.txt"), QStringLiteral("comma,name.txt.gz"));
    QCOMPARE(deletes, QStringList{"old dir/gone,file.txt"});
}

void tst_Release::packPatterns_data()
{
    QTest::addColumn<QStringList>("patterns");
    QTest::addColumn<QStringList>("packed");
    QTest::newRow("file name anywhere") << QStringList{"*.so"} << QStringList{"a.so", "lib/b.so"};
    QTest::newRow("relative path") << QStringList{"lib/*.so"} << QStringList{"lib/b.so"};
    QTest::newRow("exact path") << QStringList{"lib/b.so"} << QStringList{"lib/b.so"};
    QTest::newRow("exact name in any directory") << QStringList{"readme"} << QStringList{"doc/readme", "readme"};
    QTest::newRow("question mark") << QStringList{"?.so"} << QStringList{"a.so", "lib/b.so"};
    QTest::newRow("question mark in a path") << QStringList{"lib/?.so"} << QStringList{"lib/b.so"};
    QTest::newRow("several") << QStringList{"a.so", "doc/*"} << QStringList{"a.so", "doc/readme"};
    QTest::newRow("none") << QStringList{} << QStringList{};
}

void tst_Release::packPatterns()
{
    QFETCH(QStringList, patterns);
    QFETCH(QStringList, packed);
    ReleaseFixture::Options options;
    options.pack = patterns;
    const auto release = ReleaseFixture::build(
        path("mirror"), 2, {{"a.so", "a"}, {"lib/b.so", "b"}, {"readme", "r"}, {"doc/readme", "d"}}, options);
    QVERIFY2(release.ok, qPrintable(release.error));
    QStringList gotPacked;
    for (const ProductIni::Entry &e : release.ini.entries()) {
        if (e.isPacked())
            gotPacked.append(e.installedPath());
    }
    std::sort(gotPacked.begin(), gotPacked.end());
    std::sort(packed.begin(), packed.end());
    QCOMPARE(gotPacked, packed);
}

void tst_Release::deleteSection_data()
{
    QTest::addColumn<QString>("previousKind");   // "", "ini", "version dir", "staged dir"
    QTest::addColumn<QStringList>("extraDeletes");
    QTest::addColumn<QStringList>("expected");

    // The previous release has keep, gone, lib/old.so (packed) and carried "ancient";
    // the new one has keep, lib/new.so and brings back "ancient".
    QTest::newRow("previous product ini")
        << "ini" << QStringList{} << QStringList{"gone", "lib/old.so"};
    QTest::newRow("previous version directory")
        << "version dir" << QStringList{} << QStringList{"gone", "lib/old.so"};
    QTest::newRow("previous staged directory")
        << "staged dir" << QStringList{} << QStringList{"gone", "lib/old.so"};
    QTest::newRow("explicit only") << "" << QStringList{"x/y.txt"} << QStringList{"x/y.txt"};
    QTest::newRow("previous and explicit")
        << "ini" << QStringList{"x/y.txt", "gone"} << QStringList{"gone", "lib/old.so", "x/y.txt"};
}

void tst_Release::deleteSection()
{
    QFETCH(QString, previousKind);
    QFETCH(QStringList, extraDeletes);
    QFETCH(QStringList, expected);

    ReleaseFixture::Options first;
    first.pack = {"old.so"};
    first.deletes = {"ancient", "older"};
    const QMap<QString, QByteArray> previousFiles{{"keep", "k"}, {"gone", "g"}, {"lib/old.so", "o"}};
    const auto previous = ReleaseFixture::build(path("mirror"), 1, previousFiles, first);
    QVERIFY2(previous.ok, qPrintable(previous.error));

    ReleaseFixture::Options second;
    second.deletes = extraDeletes;
    if (previousKind == "ini") {
        second.previous = previous.productIniPath;
        expected << "older";
    } else if (previousKind == "version dir") {
        second.previous = previous.versionDir;
        expected << "older";
    } else if (previousKind == "staged dir") {
        for (auto it = previousFiles.cbegin(); it != previousFiles.cend(); ++it)
            QVERIFY(ReleaseFixture::writeFile(path("oldstage/") + it.key(), it.value()));
        second.previous = path("oldstage");
    }
    const auto release = ReleaseFixture::build(path("mirror"), 2,
                                               {{"keep", "k2"}, {"lib/new.so", "n"}, {"ancient", "back"}}, second);
    QVERIFY2(release.ok, qPrintable(release.error));

    QStringList deletes;
    readAsUpdater(release.productIniPath, &deletes);
    std::sort(expected.begin(), expected.end());
    QCOMPARE(deletes, expected);
}

void tst_Release::refusesBadInput_data()
{
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("errorPart");

    QTest::newRow("staged directory missing") << "no stage" << "does not exist";
    QTest::newRow("staged directory empty") << "empty stage" << "holds no files";
    QTest::newRow("public signing key") << "public key" << "public key";
    QTest::newRow("no signing key") << "no key" << "No signing key";
    QTest::newRow("section delete") << "section delete" << "Invalid section name";
    QTest::newRow("section General") << "section general" << "Invalid section name";
    QTest::newRow("section with slash") << "section slash" << "Invalid section name";
    QTest::newRow("client type with slash") << "type slash" << "Invalid client type";
    QTest::newRow("negative version") << "negative version" << "non-negative";
    QTest::newRow("pack pattern matches nothing") << "pack nothing" << "matches no staged file";
    QTest::newRow("packed name collides") << "collision" << "a.txt.gz";
    QTest::newRow("deleting a released file") << "delete released" << "part of this release";
    QTest::newRow("previous release missing") << "previous missing" << "does not exist";
    QTest::newRow("previous product ini empty") << "previous empty" << "lists no files";
    QTest::newRow("change log missing") << "changelog missing" << "Change log";
    QTest::newRow("broken link in the stage") << "broken link" << "not a regular file";
    QTest::newRow("output not writable") << "output is a file" << "Cannot create directory";
    QTest::newRow("output inside the stage") << "output in stage" << "must not contain each other";
}

void tst_Release::refusesBadInput()
{
    QFETCH(QString, problem);
    QFETCH(QString, errorPart);

    const QString stage = path("stage");
    QVERIFY(ReleaseFixture::writeFile(stage + "/a.txt", "a"));
    QVERIFY(ReleaseFixture::writeFile(stage + "/sub/b.txt", "b"));
    const ReleaseKey publicKey = ReleaseKey::fromBytes(ReleaseFixture::signingKey().keyFileBytes(false));
    QVERIFY(!publicKey.isNull());

    ReleaseBuilder b;
    b.setStageDir(stage);
    b.setMirrorRoot(path("mirror"));
    b.setVersion(3);
    b.setSection("client");
    b.setSigningKey(&ReleaseFixture::signingKey());
    if (problem == "no stage")
        b.setStageDir(path("missing"));
    else if (problem == "empty stage") {
        QVERIFY(QDir().mkpath(path("emptystage/subdir")));
        b.setStageDir(path("emptystage"));
    } else if (problem == "public key")
        b.setSigningKey(&publicKey);
    else if (problem == "no key")
        b.setSigningKey(nullptr);
    else if (problem == "section delete")
        b.setSection("delete");
    else if (problem == "section general")
        b.setSection("general");
    else if (problem == "section slash")
        b.setSection("a/b");
    else if (problem == "type slash")
        b.setClientType("../client");
    else if (problem == "negative version")
        b.setVersion(-1);
    else if (problem == "pack nothing")
        b.addPackPattern("*.dll");
    else if (problem == "collision") {
        QVERIFY(ReleaseFixture::writeFile(stage + "/a.txt.gz", "already packed"));
        b.addPackPattern("a.txt");
    } else if (problem == "delete released")
        b.addDelete("sub/b.txt");
    else if (problem == "previous missing")
        b.setPrevious(path("nothing-here"));
    else if (problem == "previous empty") {
        QVERIFY(ReleaseFixture::writeFile(path("old.ini"), ""));
        b.setPrevious(path("old.ini"));
    } else if (problem == "changelog missing")
        b.setChangeLog(path("nothing-here.txt"));
    else if (problem == "broken link") {
        QVERIFY(QFile::link(path("nowhere"), stage + "/sub/dangling"));
    } else if (problem == "output is a file") {
        QVERIFY(ReleaseFixture::writeFile(path("mirror"), "a file"));
    } else if (problem == "output in stage")
        b.setMirrorRoot(stage + "/out");
    else
        QFAIL("unknown row");

    QVERIFY(!b.build());
    QVERIFY2(b.errorString().contains(errorPart), qPrintable(b.errorString()));
    QVERIFY(!QFileInfo::exists(b.productIniPath()));
    QVERIFY(!QFileInfo::exists(b.productIniPath() + ".sig"));
    if (problem != "output is a file")
        QVERIFY(!QFileInfo::exists(b.versionDir()));
}

// A failure part-way (a staged file that cannot be read) removes what the build
// wrote, but never touches a release that was already there.
void tst_Release::failedBuildKeepsExistingRelease()
{
    const auto existing = ReleaseFixture::build(path("mirror"), 4, {{"x", "x"}});
    QVERIFY2(existing.ok, qPrintable(existing.error));

    ReleaseFixture::Options noReplace;
    noReplace.replaceExisting = false;
    const auto again = ReleaseFixture::build(path("mirror"), 4, {{"y", "y"}}, noReplace);
    QVERIFY(!again.ok);
    QVERIFY2(again.error.contains("already exists"), qPrintable(again.error));
    QString error;
    QVERIFY2(ReleaseKey::builtIn().verifyFile(existing.productIniPath, QString(), &error), qPrintable(error));
    QCOMPARE(readAll(existing.versionDir + "/client/x"), QByteArray("x"));

    // A staged file that opens but cannot be read (running as root defeats permission bits).
    const QString stage = path("badstage");
    QVERIFY(ReleaseFixture::writeFile(stage + "/ok.txt", "ok"));
    if (!QFile::link("/proc/self/mem", stage + "/zz-unreadable"))
        QSKIP("cannot create a symlink here");
    ReleaseBuilder b;
    b.setStageDir(stage);
    b.setMirrorRoot(path("mirror"));
    b.setVersion(6);
    b.setSection("client");
    b.setSigningKey(&ReleaseFixture::signingKey());
    QVERIFY(!b.build());
    QVERIFY2(b.errorString().contains("zz-unreadable"), qPrintable(b.errorString()));
    QVERIFY2(b.errorString().contains("was removed"), qPrintable(b.errorString()));
    QVERIFY(!QFileInfo::exists(path("mirror/6")));
    QVERIFY(QFileInfo::exists(existing.productIniPath));
}

// A staged directory reached through a link is published like any other.
void tst_Release::linkedDirectoryIsPublished()
{
    QVERIFY(ReleaseFixture::writeFile(path("elsewhere/data.pak"), "pak"));
    QVERIFY(ReleaseFixture::writeFile(path("stage/update"), "u"));
    QVERIFY(QFile::link(path("elsewhere"), path("stage/data")));
    ReleaseBuilder b;
    b.setStageDir(path("stage"));
    b.setMirrorRoot(path("mirror"));
    b.setVersion(1);
    b.setSection("client");
    b.setSigningKey(&ReleaseFixture::signingKey());
    QVERIFY2(b.build(), qPrintable(b.errorString()));
    QCOMPARE(b.productIni().installedPaths(), (QStringList{"data/data.pak", "update"}));
    QCOMPARE(readAll(b.versionDir() + "/client/data/data.pak"), QByteArray("pak"));
}

void tst_Release::replaceExisting()
{
    QVERIFY(ReleaseFixture::build(path("mirror"), 8, {{"old", "1"}}).ok);
    const auto release = ReleaseFixture::build(path("mirror"), 8, {{"new", "2"}});
    QVERIFY2(release.ok, qPrintable(release.error));
    QVERIFY(!QFileInfo::exists(release.versionDir + "/client/old"));
    QCOMPARE(readAll(release.versionDir + "/client/new"), QByteArray("2"));
    QCOMPARE(release.ini.entries().size(), 1);
}

// Hand-made manifests (for malformed lines) are signed the same way.
void tst_Release::signedManifestFixture()
{
    ProductIni ini;
    ini.addRaw("client", "update", "abc::12::");
    ini.addFile("client", "data/x.bin", "D41D8CD98F00B204E9800998ECF8427E", 0);
    ini.addDelete("old.txt");
    const QString iniPath = path("v/client_linux_x86.ini");
    QString error;
    QVERIFY2(ReleaseFixture::writeSignedIni(iniPath, ini, &error), qPrintable(error));
    QVERIFY2(ReleaseKey::builtIn().verifyFile(iniPath, QString(), &error), qPrintable(error));

    QStringList deletes;
    const QList<ReadEntry> entries = readAsUpdater(iniPath, &deletes);
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0).key, QStringLiteral("data/x.bin"));
    QCOMPARE(entries.at(1).fields, (QStringList{"abc", "12", ""}));
    QCOMPARE(deletes, QStringList{"old.txt"});

    // Editing the file breaks the signature until it is signed again.
    QFile f(iniPath);
    QVERIFY(f.open(QIODevice::Append));
    f.write("\n");
    f.close();
    QVERIFY(!ReleaseKey::builtIn().verifyFile(iniPath));
    QVERIFY(ReleaseFixture::signFile(iniPath));
    QVERIFY(ReleaseKey::builtIn().verifyFile(iniPath));
}

void tst_Release::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");   // $PRIV, $PUB, $DIR are replaced
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrPart");

    const QStringList build{"build", "--stage", "$DIR/stage", "--version", "9", "--section", "client",
                            "--out", "$DIR/mirror"};
    QTest::newRow("build") << (build + QStringList{"--key", "$PRIV", "--pack", "*.so"}) << 0 << "";
    QTest::newRow("build with public key") << (build + QStringList{"--key", "$PUB"}) << 1
                                           << "public key file";
    QTest::newRow("build with missing key") << (build + QStringList{"--key", "$DIR/nokey"}) << 1
                                            << "Cannot read key file";
    QTest::newRow("build without section")
        << QStringList{"build", "--stage", "$DIR/stage", "--version", "9", "--key", "$PRIV", "--out", "$DIR/m"}
        << 2 << "--section";
    QTest::newRow("build with bad version") << (QStringList{"build", "--stage", "$DIR/stage", "--version", "v9",
                                                            "--section", "c", "--key", "$PRIV", "--out", "$DIR/m"})
                                            << 2 << "non-negative integer";
    QTest::newRow("sign and verify") << QStringList{"sign", "--key", "$PRIV", "$DIR/stage/lib.so"} << 0 << "";
    QTest::newRow("verify valid") << QStringList{"verify", "--key", "$PUB", "$DIR/signed.txt"} << 0 << "";
    QTest::newRow("verify with built-in key") << QStringList{"verify", "--built-in", "$DIR/signed.txt"} << 0
                                              << "";
    QTest::newRow("verify altered") << QStringList{"verify", "--key", "$PUB", "$DIR/altered.txt"} << 1
                                    << "does not match";
    QTest::newRow("verify without signature") << QStringList{"verify", "--key", "$PUB", "$DIR/stage/lib.so"}
                                              << 1 << "lib.so.sig";
    QTest::newRow("sign with public key") << QStringList{"sign", "--key", "$PUB", "$DIR/signed.txt"} << 1
                                          << "public key file";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2 << "unknown command";
    QTest::newRow("unknown option") << QStringList{"sign", "--kee", "x", "f"} << 2 << "kee";
}

void tst_Release::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrPart);
    const QString tool = toolPath();
    if (tool.isEmpty())
        QSKIP("corvane-release not built (CORVANE_BUILD_DIR unset)");

    const QString priv = path("dev.key");
    const QString pub = path("dev.pub");
    QVERIFY(ReleaseFixture::signingKey().save(priv, true));
    QVERIFY(ReleaseFixture::signingKey().save(pub, false));
    QVERIFY(ReleaseFixture::writeFile(path("stage/lib.so"), "library"));
    QVERIFY(ReleaseFixture::writeFile(path("stage/bin/game"), "game"));
    QVERIFY(ReleaseFixture::writeSigned(path("signed.txt"), "signed"));
    QVERIFY(ReleaseFixture::writeSigned(path("altered.txt"), "original"));
    QVERIFY(ReleaseFixture::writeFile(path("altered.txt"), "0riginal"));

    for (QString &a : arguments)
        a.replace("$PRIV", priv).replace("$PUB", pub).replace("$DIR", m_dir->path());
    QProcess p;
    p.start(tool, arguments);
    QVERIFY(p.waitForFinished(30000));
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == exitCode, qPrintable(err));
    QVERIFY2(err.contains(stderrPart), qPrintable(err));

    if (QByteArray(QTest::currentDataTag()) == "build") {
        QString error;
        QVERIFY2(ReleaseKey::builtIn().verifyFile(path("mirror/9/client_linux_x86.ini"), QString(), &error),
                 qPrintable(error));
        QCOMPARE(gunzipFile(path("mirror/9/client/lib.so.gz")), QByteArray("library"));
    } else if (QByteArray(QTest::currentDataTag()) == "sign and verify") {
        QCOMPARE(readAll(path("stage/lib.so.sig")).size(), 128);
        QVERIFY(ReleaseKey::builtIn().verifyFile(path("stage/lib.so")));
    }
}

void tst_Release::commandLineKeyPair()
{
    const QString tool = toolPath();
    if (tool.isEmpty())
        QSKIP("corvane-release not built (CORVANE_BUILD_DIR unset)");
    const QString priv = path("k/new.key");
    const QString pub = path("k/new.pub");
    QVERIFY(QDir().mkpath(path("k")));
    QCOMPARE(runTool(tool, {"genkey", priv, pub}), 0);
    QCOMPARE(QFileInfo(priv).size(), qint64(2048));
    QCOMPARE(QFileInfo(pub).size(), qint64(2048));
    QCOMPARE(QFileInfo(priv).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    const ReleaseKey privateKey = ReleaseKey::fromFile(priv);
    const ReleaseKey publicKey = ReleaseKey::fromFile(pub);
    QVERIFY(privateKey.isPrivate());
    QVERIFY(!publicKey.isNull() && !publicKey.isPrivate());
    QVERIFY(publicKey.verify("m", privateKey.sign("m")));
    QVERIFY(!ReleaseKey::builtIn().verify("m", privateKey.sign("m")));

    // Never overwrites a key by accident.
    const QByteArray before = readAll(priv);
    QCOMPARE(runTool(tool, {"genkey", priv, pub}), 1);
    QCOMPARE(readAll(priv), before);
    QCOMPARE(runTool(tool, {"pubkey", "--force", priv, path("k/again.pub")}), 0);
    QCOMPARE(readAll(path("k/again.pub")), readAll(pub));
}

QTEST_GUILESS_MAIN(tst_Release)
#include "tst_release.moc"
