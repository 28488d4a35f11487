#include "mainwindow.h"

#include "changelogviewer.h"
#include "configuration.h"
#include "processtools.h"
#include "singleinstancechecker.h"
#include "updateengine.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QPixmap>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

namespace {
MainWindow::MessageBoxHandler &messageBoxHandler()
{
    static MainWindow::MessageBoxHandler handler;
    return handler;
}
}

MainWindow::MainWindow(Configuration &configuration)
    : QWidget(nullptr)
    , m_configuration(configuration)
    , m_engine(nullptr)
    , m_updateFinished(false)
    , m_closeRequested(false)
{
    m_engine = new UpdateEngine(m_configuration, this);
    connect(m_engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(m_engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(m_engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(m_engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(m_engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(m_engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(m_engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(m_engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    setupUi(this);

    // Queued, so the log's visibility has followed the button before we scroll it.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed, Qt::QueuedConnection);

    corvaneLabel->setUrl(homePageUrl());
    outputTextEdit->hide();
    onDownloadProgress(0, 0, 0, false);

    SingleInstanceChecker *instanceChecker = new SingleInstanceChecker(this);
    connect(instanceChecker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);

    connect(&m_configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);

    m_engine->getBanner();
}

QString MainWindow::homePageUrl()
{
    return QStringLiteral("https://www.corvane.example/");
}

void MainWindow::setMessageBoxHandler(MessageBoxHandler handler)
{
    messageBoxHandler() = std::move(handler);
}

QMessageBox::StandardButton MainWindow::askUser(QMessageBox::Icon icon, QWidget *parent, const QString &title,
                                                const QString &text, QMessageBox::StandardButtons buttons)
{
    if (messageBoxHandler())
        return messageBoxHandler()(icon, parent, title, text, buttons);
    if (icon == QMessageBox::Question)
        return QMessageBox::question(parent, title, text, buttons, QMessageBox::NoButton);
    return QMessageBox::critical(parent, title, text, buttons);
}

void MainWindow::setUIToConfigSpecs()
{
    QString channel;
    switch (m_configuration.m_channel) {
    case Stable:
        channel = tr("Stable");
        break;
    case Beta:
        channel = tr("Beta");
        break;
    case Alpha:
        channel = tr("Alpha");
        break;
    }

    QString text;
    if (!m_configuration.m_versionLabel.isEmpty()) {
        text += QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">");
        text += tr("Update to Corvane %1").arg(m_configuration.m_versionLabel);
        text += QStringLiteral("</div>");
    }
    text += QStringLiteral("<div style=\"margin-top:8px\">");
    text += tr("You are currently on <strong>%1 channel</strong>.").arg(channel);
    text += QStringLiteral("</div>");
    versionLabel->setText(text);

    if (m_configuration.m_noUser == 1)
        startButton->setEnabled(false);
}

void MainWindow::setNews()
{
    newsBanner->setNews(m_configuration.m_news);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    // No parent: the window may not be visible yet.
    askUser(QMessageBox::Critical, nullptr, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    askUser(QMessageBox::Critical, this, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
    QCoreApplication::exit(2);
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    askUser(QMessageBox::Critical, this, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (m_updateFinished) {
        ProcessTools::startCv3Client();
        close();
        return;
    }
    if (m_engine->busy())
        return;
    if (!m_engine->initialize())
        return;
    startButton->setEnabled(false);
    m_engine->startUpdate();
}

void MainWindow::onAppendText(QString text)
{
    outputTextEdit->append(text);
    // An unattended run has nobody reading the window; a caller that names a file in
    // CORVANE_UPDATE_LOG gets a copy of every line (the demonstration prints it).
    static const QString copyPath = qEnvironmentVariable("CORVANE_UPDATE_LOG");
    if (copyPath.isEmpty())
        return;
    QFile copy(copyPath);
    if (copy.open(QIODevice::WriteOnly | QIODevice::Append))
        copy.write(text.toUtf8() + '\n');
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    totalProgressBar->setValue(int(doneFrac * 1000));
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading)
{
    downloadSpeedLabel->setVisible(downloading);
    totalSizeLabel->setVisible(downloading);
    label_6->setVisible(downloading);
    totalTotalSizeLabel->setVisible(downloading);
    if (!downloading)
        return;
    totalSizeLabel->setText(tr("%1 KB").arg(downloadDone / 1000));
    totalTotalSizeLabel->setText(tr("%1 KB").arg(downloadTotal / 1000));
    downloadSpeedLabel->setText(tr("%1 KB/s").arg(speed / 1000));
}

void MainWindow::onUpdateFinished()
{
    m_updateFinished = true;
    if (m_configuration.m_noUser == 1 && !ChangeLogViewer::m_instance) {
        QTimer::singleShot(1000, this, &MainWindow::on_startButton_clicked);
        return;
    }
    startButton->setText(tr("Start Corvane"));
    // Enabled first: a disabled button cannot take the focus.
    startButton->setEnabled(true);
    startButton->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onUpdateCanceled()
{
    if (m_closeRequested) {
        QCoreApplication::quit();
        return;
    }
    m_updateFinished = false;
    m_engine->reset();
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    totalProgressBar->setValue(0);
    askUser(QMessageBox::Critical, this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."),
            QMessageBox::Ok);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    QPixmap picture;
    if (!picture.loadFromData(bannerImage))
        return;
    const QUrl url(clickUrl);
    banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    banner->setUrl(clickUrl);
    banner->setPixmap(picture);
}

void MainWindow::onDetailsPressed()
{
    if (outputTextEdit->isVisible())
        outputTextEdit->verticalScrollBar()->setValue(outputTextEdit->verticalScrollBar()->maximum());
}

void MainWindow::on_changelogButton_clicked()
{
    ChangeLogViewer::showRemoteChangeLogDialog(this, QString::number(m_configuration.m_clientVersion));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!m_engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_closeRequested)
        return;
    const QMessageBox::StandardButton answer =
        askUser(QMessageBox::Question, this, tr("Question"),
                tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
                QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes) {
        m_closeRequested = true;
        m_engine->cancelUpdate();
    }
}
