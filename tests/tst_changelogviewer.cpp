#include "changelogviewer.h"
#include "fakehttpserver.h"
#include "testdirs.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QTextEdit>
#include <QtTest>

using Behaviour = FakeHttpServer::Behaviour;
Q_DECLARE_METATYPE(FakeHttpServer::Behaviour)

namespace {
const QByteArray ChangeLog = "Version 812\n- faster downloads\n- new banner\n";

void writeMirrors(const TestDirs &dirs, const QStringList &names, const QStringList &urls)
{
    QSettings settings(dirs.appFile("mirrors.ini"), QSettings::IniFormat);
    settings.beginWriteArray("mirrors", names.size());
    for (int i = 0; i < names.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue("mirror", names.at(i));
    }
    settings.endArray();
    for (int i = 0; i < names.size(); ++i)
        settings.setValue(names.at(i) + "/url", urls.at(i));
}

void writeAlpha(const TestDirs &dirs, const QString &address)
{
    QSettings settings(dirs.appFile("update.ini"), QSettings::IniFormat);
    settings.setValue("Channel/alpha", address);
}

QString shownText(ChangeLogViewer *viewer)
{
    return viewer->findChild<QTextEdit *>("changeLogTextEdit")->toPlainText();
}

// A redirection that is not followed arrives as a page saying so.
Behaviour movedPage(int code)
{
    Behaviour b = code == 200 ? Behaviour::status(200) : Behaviour::redirect(code, "http://127.0.0.1:1/x");
    b.hasBody = true;
    b.body = "<html><body>The document has moved <a href=\"http://127.0.0.1:1/x\">here</a></body></html>";
    return b;
}
}

class tst_ChangeLogViewer : public QObject
{
    Q_OBJECT
private slots:
    void cleanup()
    {
        delete ChangeLogViewer::m_instance;
        QVERIFY(!ChangeLogViewer::m_instance);
    }

    void fetchesVersionDirectoryOfMirror_data()
    {
        QTest::addColumn<bool>("trailingSlash");
        QTest::newRow("address without final slash") << false;
        QTest::newRow("address with final slash") << true;
    }
    void fetchesVersionDirectoryOfMirror()
    {
        QFETCH(bool, trailingSlash);
        TestDirs dirs;
        FakeHttpServer mirror;
        QVERIFY(mirror.listen());
        mirror.setContent("/pub/812/changelog_client.txt", ChangeLog);
        writeMirrors(dirs, {"main"}, {mirror.baseUrl() + "/pub" + (trailingSlash ? "/" : "")});

        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "812");
        ChangeLogViewer *viewer = ChangeLogViewer::m_instance;
        QVERIFY(viewer);
        QCOMPARE(shownText(viewer), QString("Loading..."));
        QTRY_COMPARE_WITH_TIMEOUT(shownText(viewer), QString::fromLatin1(ChangeLog), 5000);
        QCOMPARE(mirror.requestedPaths(), QStringList{"/pub/812/changelog_client.txt"});
        QCOMPARE(viewer->objectName(), QString("ChangeLogViewer"));
        QCOMPARE(viewer->windowTitle(), QString("Changelog"));
    }

    // Every kind of failure moves on to the next untried mirror; each mirror is asked once.
    void badMirrorsAreEachTriedOnce_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::newRow("404") << Behaviour::status(404);
        QTest::newRow("301 with moved page") << movedPage(301);
        QTest::newRow("200 with moved page") << movedPage(200);
        QTest::newRow("reset mid-body") << Behaviour::resetAfter(3);
        QTest::newRow("authentication demand") << Behaviour::authenticationDemand();
    }
    void badMirrorsAreEachTriedOnce()
    {
        QFETCH(Behaviour, behaviour);
        TestDirs dirs;
        FakeHttpServer a, b, c;
        QVERIFY(a.listen() && b.listen() && c.listen());
        for (FakeHttpServer *s : {&a, &b, &c}) {
            s->setContent("/7/changelog_client.txt", ChangeLog);
            s->setDefaultBehaviour(behaviour);
        }
        // The blank name and the mirror without an address add nothing.
        writeMirrors(dirs, {"a", "", "b", "nourl", "c"}, {a.baseUrl(), "", b.baseUrl(), "", c.baseUrl()});

        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "7");
        ChangeLogViewer *viewer = ChangeLogViewer::m_instance;
        QTRY_COMPARE_WITH_TIMEOUT(shownText(viewer), QString("Failed to load changelog."), 10000);
        QCOMPARE(a.totalRequests(), 1);
        QCOMPARE(b.totalRequests(), 1);
        QCOMPARE(c.totalRequests(), 1);
    }

    void goodMirrorFoundAfterBadOnes()
    {
        TestDirs dirs;
        FakeHttpServer bad1, bad2, good;
        QVERIFY(bad1.listen() && bad2.listen() && good.listen());
        bad1.setDefaultBehaviour(Behaviour::status(500));
        bad2.setDefaultBehaviour(movedPage(302));
        good.setContent("/7/changelog_client.txt", ChangeLog);
        writeMirrors(dirs, {"bad1", "good", "bad2"}, {bad1.baseUrl(), good.baseUrl(), bad2.baseUrl()});

        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "7");
        QTRY_COMPARE_WITH_TIMEOUT(shownText(ChangeLogViewer::m_instance), QString::fromLatin1(ChangeLog), 10000);
        QCOMPARE(good.totalRequests(), 1);
        QVERIFY(bad1.totalRequests() <= 1 && bad2.totalRequests() <= 1);
    }

    // A mirror that never answers is given up after 2 seconds.
    void silentMirrorTimesOut()
    {
        TestDirs dirs;
        FakeHttpServer silent;
        QVERIFY(silent.listen());
        silent.setDefaultBehaviour(Behaviour::silence());
        writeMirrors(dirs, {"silent"}, {silent.baseUrl()});

        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "7");
        ChangeLogViewer *viewer = ChangeLogViewer::m_instance;
        QTRY_COMPARE_WITH_TIMEOUT(silent.totalRequests(), 1, 5000);
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(shownText(viewer), QString("Failed to load changelog."), 6000);
        QVERIFY2(clock.elapsed() > 1500, qPrintable(QString::number(clock.elapsed())));
    }

    void alphaAddressIsUsedOnceInsteadOfMirrorList_data()
    {
        QTest::addColumn<bool>("alphaServes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("alpha serves") << true << QString::fromLatin1(ChangeLog);
        QTest::newRow("alpha fails") << false << QString("Failed to load changelog.");
    }
    void alphaAddressIsUsedOnceInsteadOfMirrorList()
    {
        QFETCH(bool, alphaServes);
        QFETCH(QString, expected);
        TestDirs dirs;
        FakeHttpServer alpha, listed;
        QVERIFY(alpha.listen() && listed.listen());
        if (alphaServes)
            alpha.setContent("/a/9/changelog_client.txt", ChangeLog);
        listed.setContent("/9/changelog_client.txt", ChangeLog);
        writeAlpha(dirs, alpha.baseUrl() + "/a");
        writeMirrors(dirs, {"listed"}, {listed.baseUrl()});

        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "9");
        QTRY_COMPARE_WITH_TIMEOUT(shownText(ChangeLogViewer::m_instance), expected, 5000);
        QCOMPARE(alpha.requestedPaths(), QStringList{"/a/9/changelog_client.txt"});
        QCOMPARE(listed.totalRequests(), 0);
    }

    void nothingConfiguredFailsAtOnce()
    {
        TestDirs dirs;
        // An "update.ini" without an alpha address still lets the mirror list count, and an empty list gives nothing.
        QSettings(dirs.appFile("update.ini"), QSettings::IniFormat).setValue("Channel/beta", true);
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "9");
        QCOMPARE(shownText(ChangeLogViewer::m_instance), QString("Failed to load changelog."));
    }

    void oneDialogUntilClosed()
    {
        TestDirs dirs;
        FakeHttpServer mirror;
        QVERIFY(mirror.listen());
        mirror.setContent("/3/changelog_client.txt", ChangeLog);
        writeMirrors(dirs, {"m"}, {mirror.baseUrl()});

        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "3");
        QPointer<ChangeLogViewer> first = ChangeLogViewer::m_instance;
        QTRY_COMPARE_WITH_TIMEOUT(shownText(first), QString::fromLatin1(ChangeLog), 5000);
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "3");
        QCOMPARE(ChangeLogViewer::m_instance, first.data());
        QVERIFY(first->isVisible());
        QCOMPARE(mirror.totalRequests(), 1);

        first->close();
        QTRY_VERIFY(first.isNull());
        QVERIFY(!ChangeLogViewer::m_instance);

        // A new dialog reads the local files anew and downloads again.
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, "3");
        QVERIFY(ChangeLogViewer::m_instance);
        QTRY_COMPARE_WITH_TIMEOUT(shownText(ChangeLogViewer::m_instance), QString::fromLatin1(ChangeLog), 5000);
        QCOMPARE(mirror.totalRequests(), 2);
    }

    void sizesToWidestLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("short lines") << QString("a\nsome longer line here\n\nxy");
        QTest::newRow("wider than the desktop") << QString("x").repeated(2000) + "\nshort";
        QTest::newRow("only line feeds") << QString("\n\n");
    }
    void sizesToWidestLine()
    {
        QFETCH(QString, text);
        ChangeLogViewer viewer(nullptr);
        viewer.load(text);
        const QFontMetrics metrics(viewer.findChild<QTextEdit *>("changeLogTextEdit")->font());
        int widest = 0;
        for (const QString &line : text.split('\n'))
            widest = qMax(widest, metrics.horizontalAdvance(line));
        const QRect area = viewer.screen()->availableGeometry();
        QVERIFY(area.isValid());
        const int width = qMin(widest > 0 ? widest + 50 : 617, area.width());
        const int height = qMin(500, area.height());
        QCOMPARE(viewer.size(), QSize(width, height));
    }

    void emptyTextKeepsSize()
    {
        ChangeLogViewer viewer(nullptr);
        viewer.resize(333, 222);
        viewer.load(QString());
        QCOMPARE(viewer.size(), QSize(333, 222));
        QVERIFY(viewer.findChild<QTextEdit *>("changeLogTextEdit")->toPlainText().isEmpty());
    }
};

QTEST_MAIN(tst_ChangeLogViewer)
#include "tst_changelogviewer.moc"
