#include "testdirs.h"
#include "updateinidata.h"

#include <QDir>
#include <QSettings>
#include <QtTest>

#include <memory>

class tst_UpdateIniData : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void get_data();
    void get();
    void modifyCreatesFileAndRoundTrips();
    void modifyOverwritesAndKeepsOtherSections();
    void cleanupKeepsOtherSections();

private:
    std::unique_ptr<TestDirs> m_dirs;
};

void tst_UpdateIniData::init()
{
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
}

void tst_UpdateIniData::cleanup()
{
    m_dirs.reset();
}

void tst_UpdateIniData::get_data()
{
    // "$DIR" stands for an existing session directory, "$GONE" for one that was deleted.
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("type");

    QTest::newRow("no file") << QByteArray() << false << 0 << "";
    QTest::newRow("no section current") << QByteArray("[Channel]\nbeta=true\n") << false << 0 << "";
    QTest::newRow("complete") << QByteArray("[current]\nversion=812\ndir=$DIR\ntype=client_linux_x86\n")
                              << true << 812 << "client_linux_x86";
    QTest::newRow("version abc") << QByteArray("[current]\nversion=abc\ndir=$DIR\ntype=client_linux_x86\n")
                                 << false << 0 << "";
    QTest::newRow("version missing") << QByteArray("[current]\ndir=$DIR\ntype=client_linux_x86\n")
                                     << false << 0 << "";
    QTest::newRow("type empty") << QByteArray("[current]\nversion=812\ndir=$DIR\ntype=\n") << false << 0 << "";
    QTest::newRow("type missing") << QByteArray("[current]\nversion=812\ndir=$DIR\n") << false << 0 << "";
    QTest::newRow("dir empty") << QByteArray("[current]\nversion=812\ndir=\ntype=client_linux_x86\n")
                               << false << 0 << "";
    QTest::newRow("dir deleted meanwhile")
        << QByteArray("[current]\nversion=812\ndir=$GONE\ntype=client_linux_x86\n") << false << 0 << "";
    QTest::newRow("keys in another section")
        << QByteArray("[update]\nversion=812\ndir=$DIR\ntype=client_linux_x86\n") << false << 0 << "";
}

void tst_UpdateIniData::get()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, valid);

    const QString sessionDir = m_dirs->tempDir() + "/corvane_temp_0";
    QVERIFY(QDir().mkpath(sessionDir));
    if (!ini.isNull()) {
        ini.replace("$DIR", sessionDir.toUtf8());
        ini.replace("$GONE", QByteArray(m_dirs->tempDir().toUtf8() + "/corvane_temp_9"));
        QVERIFY(TestDirs::writeFile(UpdateIniData::filename(), ini));
    }

    int version = -1;
    QString type = "untouched";
    QString dir = "untouched";
    QCOMPARE(UpdateIniData::get(&version, &type, &dir), valid);
    QCOMPARE(UpdateIniData::get(nullptr, nullptr, nullptr), valid);
    if (valid) {
        QTEST(version, "version");
        QTEST(type, "type");
        QCOMPARE(dir, sessionDir);
    } else {
        QCOMPARE(version, -1);
        QCOMPARE(type, QString("untouched"));
        QCOMPARE(dir, QString("untouched"));
    }
}

void tst_UpdateIniData::modifyCreatesFileAndRoundTrips()
{
    QCOMPARE(UpdateIniData::filename(), QDir(m_dirs->appDir()).absoluteFilePath("update.ini"));
    QVERIFY(!QFile::exists(UpdateIniData::filename()));

    const QString sessionDir = m_dirs->tempDir() + "/corvane_temp_3";
    QVERIFY(QDir().mkpath(sessionDir));
    UpdateIniData::modify(812, sessionDir, "client_linux_x86");
    QVERIFY(QFile::exists(UpdateIniData::filename()));

    // The order of get (version, type, dir) differs from modify (version, dir, type).
    int version = 0;
    QString type, dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, 812);
    QCOMPARE(type, QString("client_linux_x86"));
    QCOMPARE(dir, sessionDir);

    // Null outputs are skipped individually.
    int onlyVersion = 0;
    QString onlyDir;
    QVERIFY(UpdateIniData::get(&onlyVersion, nullptr, &onlyDir));
    QCOMPARE(onlyVersion, 812);
    QCOMPARE(onlyDir, sessionDir);

    UpdateIniData::cleanup();
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
    QVERIFY(!TestDirs::readFile(UpdateIniData::filename()).contains("[current]"));
}

void tst_UpdateIniData::modifyOverwritesAndKeepsOtherSections()
{
    const QString dirA = m_dirs->tempDir() + "/a";
    const QString dirB = m_dirs->tempDir() + "/b";
    QVERIFY(QDir().mkpath(dirA));
    QVERIFY(QDir().mkpath(dirB));
    QVERIFY(TestDirs::writeFile(UpdateIniData::filename(),
                                "[Channel]\nbeta=true\n\n[current]\nversion=abc\nextra=kept\n"));

    UpdateIniData::modify(1, dirA, "client_a");
    UpdateIniData::modify(2, dirB, "client_b");

    int version = 0;
    QString type, dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, 2);
    QCOMPARE(type, QString("client_b"));
    QCOMPARE(dir, dirB);

    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    QCOMPARE(settings.value("Channel/beta").toBool(), true);
    QCOMPARE(settings.value("current/extra").toString(), QString("kept"));
}

void tst_UpdateIniData::cleanupKeepsOtherSections()
{
    const QString sessionDir = m_dirs->tempDir() + "/s";
    QVERIFY(QDir().mkpath(sessionDir));
    QVERIFY(TestDirs::writeFile(UpdateIniData::filename(),
                                "[Channel]\nalpha=http://alpha.invalid/\nalphaRevno=812\n\n"
                                "[current]\nversion=812\ndir=" + sessionDir.toUtf8() + "\ntype=client_linux_x86\n\n"
                                "[update]\nproxy=http://proxy.invalid:3128\nstreams=2\n"));
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr));

    UpdateIniData::cleanup();

    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    QVERIFY(!settings.childGroups().contains("current"));
    QCOMPARE(settings.value("Channel/alpha").toString(), QString("http://alpha.invalid/"));
    QCOMPARE(settings.value("Channel/alphaRevno").toInt(), 812);
    QCOMPARE(settings.value("update/proxy").toString(), QString("http://proxy.invalid:3128"));
    QCOMPARE(settings.value("update/streams").toInt(), 2);
    // The session directory itself is the engine's business, not the record's.
    QVERIFY(QFileInfo(sessionDir).isDir());
}

QTEST_MAIN(tst_UpdateIniData)
#include "tst_updateinidata.moc"
