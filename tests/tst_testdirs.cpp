#include "configuration.h"
#include "testdirs.h"

#include <QDir>
#include <QtTest>

// The fixture every other test relies on: it must redirect both directories and restore them.
class tst_TestDirs : public QObject
{
    Q_OBJECT
private slots:
    void redirectsAndRestores()
    {
        const QString before = Configuration::getAppRootPath();
        const QString tmpBefore = QDir::tempPath();
        {
            TestDirs dirs;
            QVERIFY(dirs.isValid());
            QCOMPARE(Configuration::getAppRootPath(), dirs.appDir());
            QCOMPARE(QDir::tempPath(), QDir(dirs.tempDir()).canonicalPath());
            QVERIFY(TestDirs::writeFile(dirs.appFile("a/b.txt"), "x"));
            QCOMPARE(TestDirs::readFile(dirs.appFile("a/b.txt")), QByteArray("x"));
        }
        QCOMPARE(Configuration::getAppRootPath(), before);
        QCOMPARE(QDir::tempPath(), tmpBefore);
    }
};

QTEST_MAIN(tst_TestDirs)
#include "tst_testdirs.moc"
