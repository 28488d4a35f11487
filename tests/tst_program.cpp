#include "releasefixture.h"
#include "singleinstancechecker.h"
#include "fakehttpserver.h"
#include "testdirs.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSettings>
#include <QUdpSocket>
#include <QtTest>

// Runs the built program itself, copied into a test installation directory, in
// the situations where no message box waits for a person.
class tst_Program : public QObject
{
    Q_OBJECT

    QString builtProgram() const { return qEnvironmentVariable("CORVANE_BUILD_DIR") + "/update"; }

    // An installation directory (with a blank in its path) holding a copy of the program.
    QString install(const TestDirs &dirs)
    {
        const QString dir = dirs.tempDir() + "/Corvane Client";
        QDir().mkpath(dir);
        const QString program = dir + "/update";
        if (!QFile::copy(builtProgram(), program))
            return QString();
        QFile::setPermissions(program, QFile::permissions(builtProgram()));
        return dir;
    }

    void prepare(QProcess &process, const TestDirs &dirs, const QString &dir, const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("HOME", home(dirs));
        env.insert("TMPDIR", dirs.tempDir());
        process.setProcessEnvironment(env);
        process.setProgram(dir + "/update");
        process.setArguments(arguments);
        process.setWorkingDirectory(dirs.tempDir());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }

    static QString home(const TestDirs &dirs)
    {
        const QString path = dirs.tempDir() + "/home";
        QDir().mkpath(path);
        return path;
    }

    static bool finishes(QProcess &process, int ms)
    {
        if (process.state() == QProcess::NotRunning)
            return true;
        QSignalSpy spy(&process, &QProcess::finished);
        return spy.wait(ms) || process.state() == QProcess::NotRunning;
    }

private slots:
    void initTestCase() { QVERIFY2(QFile::exists(builtProgram()), qPrintable(builtProgram())); }

    // A second start hands over to the running copy and ends with 0; like every start,
    // it first removes the set-aside copies of special files.
    void secondCopyHandsOver()
    {
        TestDirs dirs;
        const QString dir = install(dirs);
        QVERIFY(!dir.isEmpty());
        QProcess first;
        prepare(first, dirs, dir, {"client_linux_x86", "5"});
        first.start();
        QVERIFY(first.waitForStarted());

        const QString name = SingleInstanceChecker::localServerNameFor(QFileInfo(dir + "/update").canonicalFilePath(),
                                                                        home(dirs));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                QLocalSocket probe;
                probe.connectToServer(name);
                return probe.waitForConnected(200);
            }(),
            20000);

        const QStringList removed{"_old_update", "imageformats/_old_libqgif.so",
                                  "accessible/_old_libqtaccessiblewidgets.so", "_old_libQtGui.so.4"};
        const QStringList kept{"_old_readme.txt", "imageformats/_old_readme.txt", "update.ini"};
        for (const QString &path : removed + kept)
            QVERIFY(TestDirs::writeFile(dir + "/" + path, "x"));

        QProcess second;
        prepare(second, dirs, dir, {"client_linux_x86", "6"});
        second.start();
        QVERIFY(finishes(second, 15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
        for (const QString &path : removed)
            QVERIFY2(!QFile::exists(dir + "/" + path), qPrintable(path));
        for (const QString &path : kept)
            QVERIFY2(QFile::exists(dir + "/" + path), qPrintable(path));

        first.kill();
        QVERIFY(finishes(first, 10000));
    }

    // The service lists no version for the configured channel: status 1, no message box to wait on.
    void noVersionForChannelEndsWithOne()
    {
        QUdpSocket service;
        if (!service.bind(QHostAddress::LocalHost, 17384))
            QSKIP("port 17384 of the update service is taken on this machine");
        connect(&service, &QUdpSocket::readyRead, &service, [&service] {
            while (service.hasPendingDatagrams()) {
                QByteArray request(64, '\0');
                QHostAddress from;
                quint16 port = 0;
                const qint64 size = service.readDatagram(request.data(), request.size(), &from, &port);
                request.truncate(int(qMax<qint64>(size, 0)));
                if (request == QByteArray("3", 2))
                    service.writeDatagram("12#1.2", from, port);
                else if (request == QByteArray("*", 2))
                    service.writeDatagram("news", from, port);
            }
        });
        TestDirs dirs;
        const QString dir = install(dirs);
        QVERIFY(!dir.isEmpty());
        {
            QSettings settings(dir + "/update.ini", QSettings::IniFormat);
            settings.setValue("Channel/beta", true);
        }
        QProcess program;
        prepare(program, dirs, dir, {});
        program.start();
        QVERIFY(finishes(program, 20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
    }

    // The whole unattended way: start, download, install, start the client, exit 0.
    void unattendedRunInstallsReleaseAndStartsClient()
    {
        TestDirs dirs;
        const QString dir = install(dirs);
        QVERIFY(!dir.isEmpty());
        QVERIFY(TestDirs::writeFile(dir + "/old.txt", "obsolete"));
        QVERIFY(TestDirs::writeFile(dir + "/data/map.pak", "old map"));

        QByteArray big(300000, '\0');
        for (int i = 0; i < big.size(); ++i)
            big[i] = char((i * 31) ^ (i >> 7));
        const QMap<QString, QByteArray> files{
            {"cv3client_runscript.sh", "#!/bin/sh\necho ran > \"$(dirname \"$0\")/client-ran\"\n"},
            {"data/map.pak", big},
            {"data/sub/level1.txt", "level one"},
            {"lib/libgame.so", "shared object"},
            {"readme.txt", "hello"},
        };
        const QString mirrorRoot = dirs.tempDir() + "/mirror";
        ReleaseFixture::Options options;
        options.pack = {"data/map.pak"};
        options.deletes = {"old.txt"};
        const ReleaseFixture::Release release = ReleaseFixture::build(mirrorRoot, 5, files, options);
        QVERIFY2(release.ok, qPrintable(release.error));

        FakeHttpServer mirror(mirrorRoot);
        QVERIFY(mirror.listen());
        {
            QSettings settings(dir + "/mirrors.ini", QSettings::IniFormat);
            settings.beginWriteArray("mirrors", 1);
            settings.setArrayIndex(0);
            settings.setValue("mirror", "local");
            settings.endArray();
            settings.setValue("local/url", mirror.baseUrl());
        }

        QProcess program;
        prepare(program, dirs, dir, {"--nouser", "client_linux_x86", "5", "3.0.5", "Fresh <b>news</b>"});
        program.start();
        QVERIFY(finishes(program, 90000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);

        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(TestDirs::readFile(dir + "/" + it.key()) == it.value(), qPrintable(it.key()));
        QVERIFY(!QFile::exists(dir + "/old.txt"));
        QVERIFY(QFileInfo(dir + "/cv3client_runscript.sh").isExecutable());
        QVERIFY(QFileInfo(dir + "/lib/libgame.so").isExecutable());
        QTRY_COMPARE_WITH_TIMEOUT(TestDirs::readFile(dir + "/client-ran"), QByteArray("ran\n"), 10000);

        // The session is over: no record, no working directory.
        QSettings settings(dir + "/update.ini", QSettings::IniFormat);
        QVERIFY(!settings.childGroups().contains("current"));
        QCOMPARE(QDir(dirs.tempDir()).entryList({"corvane_temp_*"}, QDir::AllEntries), QStringList());
    }
};

QTEST_MAIN(tst_Program)
#include "tst_program.moc"
