#include "configuration.h"
#include "processtools.h"
#include "testdirs.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

class tst_ProcessTools : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startsScriptInPathWithBlank();
    void missingScriptIsSilent();

private:
    std::unique_ptr<TestDirs> m_dirs;
};

void tst_ProcessTools::init()
{
    m_dirs.reset(new TestDirs);
    QVERIFY(m_dirs->isValid());
}

void tst_ProcessTools::cleanup()
{
    m_dirs.reset();
}

void tst_ProcessTools::startsScriptInPathWithBlank()
{
    const QString installDir = m_dirs->appDir() + "/Corvane 3 Client";
    QVERIFY(QDir().mkpath(installDir));
    Configuration::setAppRootPathOverride(installDir);

    // The script records its own path and argument count, so a split path or
    // stray arguments would show.
    const QString marker = installDir + "/started marker";
    const QString script = installDir + "/cv3client_runscript.sh";
    QVERIFY(TestDirs::writeFile(script, "#!/bin/sh\n"
                                        "printf '%s|%s' \"$0\" \"$#\" > \"$(dirname \"$0\")/started marker\"\n"));
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    ProcessTools::startCv3Client();

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker) && QFileInfo(marker).size() > 0, 10000);
    QCOMPARE(TestDirs::readFile(marker), QByteArray(script.toUtf8() + "|0"));
}

void tst_ProcessTools::missingScriptIsSilent()
{
    QTest::failOnWarning(QRegularExpression(".*"));
    ProcessTools::startCv3Client();
    QVERIFY(!QFile::exists(m_dirs->appFile("cv3client_runscript.sh")));
}

QTEST_MAIN(tst_ProcessTools)
#include "tst_processtools.moc"
