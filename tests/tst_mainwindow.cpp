#include "banner.h"
#include "changelogviewer.h"
#include "configuration.h"
#include "fakehttpserver.h"
#include "mainwindow.h"
#include "newsbanner.h"
#include "singleinstancechecker.h"
#include "testdirs.h"
#include "updateengine.h"
#include "urlclicklabel.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTextEdit>
#include <QTranslator>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

using Behaviour = FakeHttpServer::Behaviour;

namespace {
struct ShownBox
{
    QMessageBox::Icon icon;
    QWidget *parent;
    QString title;
    QString text;
};

QByteArray pngPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A client start script that leaves a marker file beside itself.
QString writeClientScript(const TestDirs &dirs)
{
    const QString script = dirs.appFile("cv3client_runscript.sh");
    const QString marker = dirs.appFile("client-started");
    TestDirs::writeFile(script, "#!/bin/sh\necho started > \"" + QFile::encodeName(marker) + "\"\n");
    QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner);
    return marker;
}

void writeMirrors(const TestDirs &dirs, const QString &url)
{
    QSettings settings(dirs.appFile("mirrors.ini"), QSettings::IniFormat);
    settings.beginWriteArray("mirrors", 1);
    settings.setArrayIndex(0);
    settings.setValue("mirror", "m");
    settings.endArray();
    settings.setValue("m/url", url);
}
}

class tst_MainWindow : public QObject
{
    Q_OBJECT

    // Every window test answers the boxes here; none is ever left waiting.
    QList<ShownBox> m_boxes;
    QList<QMessageBox::StandardButton> m_answers;
    // Stands in for the banner service: the window's banner query comes here.
    QUdpSocket m_bannerService;
    QByteArray m_bannerReply;

    std::unique_ptr<TestDirs> m_dirs;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<MainWindow> m_window;

    MainWindow *makeWindow(int noUser = 0)
    {
        m_config.reset(new Configuration);
        m_config->m_clientType = "client_linux_x86";
        m_config->m_clientVersion = 812;
        m_config->m_noUser = noUser;
        m_window.reset(new MainWindow(*m_config));
        return m_window.get();
    }
    UpdateEngine *engine() { return m_window->findChild<UpdateEngine *>(); }
    template <typename T> T *widget(const char *name)
    {
        T *w = m_window->findChild<T *>(name);
        if (!w)
            qFatal("no widget %s", name);
        return w;
    }
    QPushButton *startButton() { return widget<QPushButton>("startButton"); }
    QString log() { return widget<QTextEdit>("outputTextEdit")->toPlainText(); }

    // Runs the application's event loop as the program does; a limit ends it if the window never does.
    int runEventLoop(int limitMs = 15000)
    {
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        limit.start(limitMs);
        return QCoreApplication::exec();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bannerService.bind(QHostAddress::LocalHost, 0));
        connect(&m_bannerService, &QUdpSocket::readyRead, this, [this] {
            while (m_bannerService.hasPendingDatagrams()) {
                QHostAddress from;
                quint16 port = 0;
                QByteArray request(16, '\0');
                m_bannerService.readDatagram(request.data(), request.size(), &from, &port);
                if (!m_bannerReply.isEmpty())
                    m_bannerService.writeDatagram(m_bannerReply, from, port);
            }
        });
        BANNER_SERVER = QStringLiteral("127.0.0.1");
        BANNER_PORT = m_bannerService.localPort();
        MainWindow::setMessageBoxHandler([this](QMessageBox::Icon icon, QWidget *parent, const QString &title,
                                                const QString &text, QMessageBox::StandardButtons buttons) {
            m_boxes.append({icon, parent, title, text});
            const QMessageBox::StandardButton answer =
                m_answers.isEmpty() ? QMessageBox::Ok : m_answers.takeFirst();
            return buttons.testFlag(answer) ? answer : QMessageBox::NoButton;
        });
    }
    void cleanupTestCase() { MainWindow::setMessageBoxHandler(nullptr); }

    void init()
    {
        m_boxes.clear();
        m_answers.clear();
        m_bannerReply.clear();
        m_dirs.reset(new TestDirs);
    }
    void cleanup()
    {
        delete ChangeLogViewer::m_instance;
        m_window.reset();
        m_config.reset();
        m_dirs.reset();
    }

    void formAtStart()
    {
        MainWindow *window = makeWindow();
        QCOMPARE(window->objectName(), QString("MainWindow"));
        QCOMPARE(window->windowTitle(), QString("Corvane 3 Client Update"));
        QCOMPARE(startButton()->text(), QString("Start Update"));
        QVERIFY(startButton()->isDefault());
        QCOMPARE(widget<QPushButton>("changelogButton")->text(), QString("View Changes"));
        QVERIFY(widget<QPushButton>("detailsButton")->isCheckable());
        QCOMPARE(widget<QProgressBar>("totalProgressBar")->maximum(), 1000);
        QCOMPARE(widget<UrlClickLabel>("corvaneLabel")->url(), MainWindow::homePageUrl());
        QCOMPARE(widget<UrlClickLabel>("corvaneLabel")->size(), QSize(48, 48));
        QVERIFY(!widget<UrlClickLabel>("corvaneLabel")->pixmap().isNull());
        QCOMPARE(widget<UrlClickLabel>("banner")->size(), QSize(468, 60));
        QVERIFY(widget<NewsBanner>("newsBanner"));
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // Log and download figures are hidden until asked for or until bytes move.
        QVERIFY(!widget<QTextEdit>("outputTextEdit")->isVisible());
        for (const char *name : {"downloadSpeedLabel", "totalSizeLabel", "label_6", "totalTotalSizeLabel"})
            QVERIFY2(!widget<QLabel>(name)->isVisible(), name);
        // The window cannot be resized.
        QCOMPARE(window->minimumSize(), window->maximumSize());
    }

    void versionText_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("expected");
        QTest::newRow("label 3.0.5 on Beta")
            << "3.0.5" << int(Beta)
            << "<div style=\"font-weight:bold;font-size:14px\">Update to Corvane 3.0.5</div>"
               "<div style=\"margin-top:8px\">You are currently on <strong>Beta channel</strong>.</div>";
        QTest::newRow("no label, Stable")
            << "" << int(Stable)
            << "<div style=\"margin-top:8px\">You are currently on <strong>Stable channel</strong>.</div>";
        QTest::newRow("no label, Alpha")
            << "" << int(Alpha)
            << "<div style=\"margin-top:8px\">You are currently on <strong>Alpha channel</strong>.</div>";
    }
    void versionText()
    {
        QFETCH(QString, label);
        QFETCH(int, channel);
        QFETCH(QString, expected);
        MainWindow *window = makeWindow();
        m_config->m_versionLabel = label;
        m_config->m_channel = UpdateChannel(channel);
        window->setUIToConfigSpecs();
        QCOMPARE(widget<QLabel>("versionLabel")->text(), expected);
        QVERIFY(startButton()->isEnabled());
    }

    void unattendedDisablesStartButton()
    {
        MainWindow *window = makeWindow(1);
        window->setUIToConfigSpecs();
        QVERIFY(!startButton()->isEnabled());
    }

    void progressBar_data()
    {
        QTest::addColumn<qreal>("fraction");
        QTest::addColumn<int>("value");
        QTest::newRow("0.4567") << qreal(0.4567) << 456;
        QTest::newRow("1.0") << qreal(1.0) << 1000;
        QTest::newRow("0.0005") << qreal(0.0005) << 0;
        QTest::newRow("0.9999") << qreal(0.9999) << 999;
    }
    void progressBar()
    {
        QFETCH(qreal, fraction);
        QFETCH(int, value);
        makeWindow();
        emit engine()->updateProgress(fraction);
        QCOMPARE(widget<QProgressBar>("totalProgressBar")->value(), value);
    }

    void downloadFigures_data()
    {
        QTest::addColumn<quint64>("done");
        QTest::addColumn<quint64>("total");
        QTest::addColumn<quint64>("speed");
        QTest::addColumn<QString>("doneText");
        QTest::addColumn<QString>("totalText");
        QTest::addColumn<QString>("speedText");
        QTest::newRow("123456 of 999999 at 52000") << quint64(123456) << quint64(999999) << quint64(52000)
                                                   << "123 KB" << "999 KB" << "52 KB/s";
        QTest::newRow("999 bytes are 0 KB") << quint64(999) << quint64(1000) << quint64(999) << "0 KB" << "1 KB"
                                            << "0 KB/s";
        QTest::newRow("beyond 4 GiB") << quint64(5000000000ULL) << quint64(9000000000ULL) << quint64(0)
                                      << "5000000 KB" << "9000000 KB" << "0 KB/s";
    }
    void downloadFigures()
    {
        QFETCH(quint64, done);
        QFETCH(quint64, total);
        QFETCH(quint64, speed);
        QFETCH(QString, doneText);
        QFETCH(QString, totalText);
        QFETCH(QString, speedText);
        MainWindow *window = makeWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QStringList names{"downloadSpeedLabel", "totalSizeLabel", "label_6", "totalTotalSizeLabel"};

        emit engine()->downloadProgress(done, total, speed, true);
        for (const QString &name : names)
            QVERIFY2(widget<QLabel>(qPrintable(name))->isVisible(), qPrintable(name));
        QCOMPARE(widget<QLabel>("totalSizeLabel")->text(), doneText);
        QCOMPARE(widget<QLabel>("totalTotalSizeLabel")->text(), totalText);
        QCOMPARE(widget<QLabel>("downloadSpeedLabel")->text(), speedText);

        // Hidden again, and the figures stay as they were.
        emit engine()->downloadProgress(1, 2, 3, false);
        for (const QString &name : names)
            QVERIFY2(!widget<QLabel>(qPrintable(name))->isVisible(), qPrintable(name));
        QCOMPARE(widget<QLabel>("totalSizeLabel")->text(), doneText);
    }

    void errorGoesToLogAndBox()
    {
        MainWindow *window = makeWindow();
        emit engine()->message("first line");
        emit engine()->error("file x on mirror y is larger than expected");
        QCOMPARE(log(), QString("first line\nfile x on mirror y is larger than expected"));
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes.at(0).icon, QMessageBox::Critical);
        QCOMPARE(m_boxes.at(0).parent, window);
        QCOMPARE(m_boxes.at(0).title, QString("Error"));
        QCOMPARE(m_boxes.at(0).text, QString("file x on mirror y is larger than expected"));
    }

    void fatalErrorEndsEventLoop_data()
    {
        QTest::addColumn<bool>("fromEngine");
        QTest::addColumn<int>("status");
        QTest::newRow("engine: status 2, box on the window") << true << 2;
        QTest::newRow("configuration: status 1, box without parent") << false << 1;
    }
    void fatalErrorEndsEventLoop()
    {
        QFETCH(bool, fromEngine);
        QFETCH(int, status);
        MainWindow *window = makeWindow();
        window->show();
        QTimer::singleShot(0, this, [&] {
            if (fromEngine)
                emit engine()->fatalError("no way");
            else
                emit m_config->fatalError("Invalid version nr (x)");
        });
        QCOMPARE(runEventLoop(), status);
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes.at(0).icon, QMessageBox::Critical);
        QCOMPARE(m_boxes.at(0).title, QString("Error"));
        QCOMPARE(m_boxes.at(0).parent, fromEngine ? static_cast<QWidget *>(window) : nullptr);
    }

    // A run that cannot be prepared leaves the button as it was.
    void refusedStartLeavesButton()
    {
        makeWindow();
        m_config->m_channel = Stable;
        startButton()->click();
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes.at(0).text, QString("mirrors.ini is missing, cannot proceed."));
        QVERIFY(startButton()->isEnabled());
        QCOMPARE(startButton()->text(), QString("Start Update"));
        QVERIFY(!engine()->busy());
    }

    void finishedInteractiveOffersClient()
    {
        MainWindow *window = makeWindow();
        window->setUIToConfigSpecs();
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window));
        startButton()->setEnabled(false);
        emit engine()->updateFinished();
        QCOMPARE(startButton()->text(), QString("Start Corvane"));
        QVERIFY(startButton()->isEnabled());
        QTRY_VERIFY(startButton()->hasFocus());
        QVERIFY(window->isVisible());
        QVERIFY(m_boxes.isEmpty());

        // The button now starts the client and closes the window.
        const QString marker = writeClientScript(*m_dirs);
        startButton()->click();
        QVERIFY(!window->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
    }

    void finishedUnattended_data()
    {
        QTest::addColumn<bool>("changeLogOpen");
        QTest::newRow("closes by itself") << false;
        QTest::newRow("change log open: offers the client") << true;
    }
    void finishedUnattended()
    {
        QFETCH(bool, changeLogOpen);
        MainWindow *window = makeWindow(1);
        window->setUIToConfigSpecs();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        if (changeLogOpen)
            ChangeLogViewer::showRemoteChangeLogDialog(window, "812");
        const QString marker = writeClientScript(*m_dirs);

        QElapsedTimer clock;
        clock.start();
        emit engine()->updateFinished();
        if (changeLogOpen) {
            QCOMPARE(startButton()->text(), QString("Start Corvane"));
            QVERIFY(startButton()->isEnabled());
        } else {
            QCOMPARE(startButton()->text(), QString("Start Update"));
            QVERIFY(!startButton()->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 5000);
            QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
        }
        if (changeLogOpen) {
            QVERIFY(window->isVisible());
            QVERIFY(!QFile::exists(marker));
        }
    }

    void canceledOffersRestart()
    {
        MainWindow *window = makeWindow();
        emit engine()->updateProgress(0.5);
        emit engine()->updateCanceled();
        QCOMPARE(startButton()->text(), QString("Restart"));
        QVERIFY(startButton()->isEnabled());
        QCOMPARE(log(), QString("Update cancelled"));
        QCOMPARE(widget<QProgressBar>("totalProgressBar")->value(), 0);
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes.at(0).icon, QMessageBox::Critical);
        QCOMPARE(m_boxes.at(0).parent, window);
        QCOMPARE(m_boxes.at(0).title, QString("Update"));
        QCOMPARE(m_boxes.at(0).text, QString("Update cancelled. Push \"Details\" to check reasons."));
        QCOMPARE(engine()->state(), UpdateEngine::EngineIdle);
    }

    void closeWhenIdleAsksNothing()
    {
        MainWindow *window = makeWindow();
        window->show();
        QVERIFY(window->close());
        QVERIFY(m_boxes.isEmpty());
    }

    // A real run held by a mirror that never answers, then the user closes the window.
    void closeDuringRun_data()
    {
        QTest::addColumn<bool>("abort");
        QTest::newRow("No: the run goes on") << false;
        QTest::newRow("Yes: cancelled, status 0, no cancel box") << true;
    }
    void closeDuringRun()
    {
        QFETCH(bool, abort);
        FakeHttpServer mirror;
        QVERIFY(mirror.listen());
        mirror.setDefaultBehaviour(Behaviour::silence());
        writeMirrors(*m_dirs, mirror.baseUrl());
        MainWindow *window = makeWindow();
        window->setUIToConfigSpecs();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        startButton()->click();
        QVERIFY(engine()->busy());
        QVERIFY(!startButton()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(mirror.totalRequests() >= 1, 10000);

        m_answers << (abort ? QMessageBox::Yes : QMessageBox::No);
        if (!abort) {
            QVERIFY(!window->close());
            QVERIFY(window->isVisible());
            QVERIFY(engine()->busy());
            QCOMPARE(engine()->state(), UpdateEngine::EngineRunning);
            QCOMPARE(m_boxes.size(), 1);
        } else {
            QTimer::singleShot(0, this, [window] {
                window->close();
                // The abort is under way or done: a second close asks nothing.
                window->close();
            });
            QCOMPARE(runEventLoop(), 0);
            QCOMPARE(m_boxes.size(), 1);
            QVERIFY(!engine()->busy());
        }
        QCOMPARE(m_boxes.at(0).icon, QMessageBox::Question);
        QCOMPARE(m_boxes.at(0).title, QString("Question"));
        QCOMPARE(m_boxes.at(0).text, QString("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
        QVERIFY(!log().contains("Update cancelled"));
    }

    void otherInstanceBringsWindowToFront()
    {
        MainWindow *window = makeWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QVERIFY(!window->isActiveWindow());

        QVERIFY(SingleInstanceChecker::checkExistingInstance("#"));
        QTRY_VERIFY(window->isActiveWindow());
    }

    void bannerPicture_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("shown");
        QTest::newRow("PNG") << pngPicture(468, 60) << true;
        QTest::newRow("not a picture") << QByteArray("<html>404</html>") << false;
        QTest::newRow("nothing") << QByteArray() << false;
    }
    void bannerPicture()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, shown);
        makeWindow();
        UrlClickLabel *banner = widget<UrlClickLabel>("banner");
        emit engine()->bannerFound(data, "https://s.example:8443/some/path?q=1");
        if (shown) {
            QVERIFY(!banner->pixmap().isNull());
            QCOMPARE(banner->url(), QString("https://s.example:8443/some/path?q=1"));
            QCOMPARE(banner->toolTip(), QString("Click to open \"https://s.example\""));
        } else {
            QVERIFY(banner->pixmap().isNull());
            QVERIFY(banner->url().isEmpty());
            QVERIFY(banner->toolTip().isEmpty());
        }
    }

    // The whole way: banner service answer, picture transfer, label.
    void bannerFromService()
    {
        FakeHttpServer pictures;
        QVERIFY(pictures.listen());
        pictures.setContent("/b.png", pngPicture(468, 60));
        m_bannerReply = (pictures.baseUrl() + "/b.png,http://click.example/go").toLatin1();
        makeWindow();
        UrlClickLabel *banner = widget<UrlClickLabel>("banner");
        QTRY_VERIFY_WITH_TIMEOUT(!banner->pixmap().isNull(), 10000);
        QCOMPARE(banner->url(), QString("http://click.example/go"));
        QCOMPARE(banner->toolTip(), QString("Click to open \"http://click.example\""));
    }

    void detailsShowsLogAtItsEnd()
    {
        MainWindow *window = makeWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        for (int i = 0; i < 200; ++i)
            emit engine()->message(QString("line %1").arg(i));
        QTextEdit *logView = widget<QTextEdit>("outputTextEdit");
        QPushButton *details = widget<QPushButton>("detailsButton");
        logView->verticalScrollBar()->setValue(0);

        details->click();
        QVERIFY(logView->isVisible());
        QTRY_VERIFY(logView->verticalScrollBar()->maximum() > 0);
        QTRY_COMPARE(logView->verticalScrollBar()->value(), logView->verticalScrollBar()->maximum());
        details->click();
        QVERIFY(!logView->isVisible());
    }

    void changeLogButtonOpensOneDialog()
    {
        FakeHttpServer mirror;
        QVERIFY(mirror.listen());
        mirror.setContent("/812/changelog_client.txt", "changes");
        writeMirrors(*m_dirs, mirror.baseUrl());
        MainWindow *window = makeWindow();
        window->show();
        QPushButton *button = widget<QPushButton>("changelogButton");
        button->click();
        ChangeLogViewer *dialog = ChangeLogViewer::m_instance;
        QVERIFY(dialog);
        QCOMPARE(dialog->parentWidget(), window);
        button->click();
        QCOMPARE(ChangeLogViewer::m_instance, dialog);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->findChild<QTextEdit *>("changeLogTextEdit")->toPlainText(),
                                  QString("changes"), 5000);
        QCOMPARE(mirror.requestedPaths(), QStringList{"/812/changelog_client.txt"});
    }

    void germanCatalogue()
    {
        const QString qm = qEnvironmentVariable("CORVANE_BUILD_DIR") + "/translations/update_de.qm";
        QTranslator translator;
        QVERIFY2(translator.load(qm), qPrintable(qm));
        QCoreApplication::installTranslator(&translator);
        MainWindow *window = makeWindow();
        m_config->m_channel = Beta;
        m_config->m_versionLabel = "3.0.5";
        window->setUIToConfigSpecs();
        const QString startText = startButton()->text();
        const QString versionText = widget<QLabel>("versionLabel")->text();
        emit engine()->downloadProgress(2000, 5000, 1000, true);
        const QString speedText = widget<QLabel>("downloadSpeedLabel")->text();
        emit engine()->updateCanceled();
        QCoreApplication::removeTranslator(&translator);

        QCOMPARE(startText, QString("Aktualisierung starten"));
        QVERIFY2(versionText.contains("Aktualisierung auf Corvane 3.0.5"), qPrintable(versionText));
        QVERIFY2(versionText.contains("<strong>Kanal Beta</strong>"), qPrintable(versionText));
        QCOMPARE(speedText, QString("1 KB/s"));
        QCOMPARE(startButton()->text(), QString("Neu starten"));
        QCOMPARE(m_boxes.at(0).title, QString("Aktualisierung"));
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
