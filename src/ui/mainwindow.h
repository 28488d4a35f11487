#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "ui_mainwindow.h"

#include <QMessageBox>
#include <QWidget>

#include <functional>

class Configuration;
class UpdateEngine;

// The updater's only window: owns the update engine and the single-instance
// listener, shows the run and turns errors into message boxes and exit statuses.
class MainWindow : public QWidget, private Ui::MainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(Configuration &configuration);

    // Writes the version and channel text and applies the unattended mode.
    void setUIToConfigSpecs();
    // Hands the configuration's news text to the news line.
    void setNews();

    // Answers the window's message boxes in place of a person; it receives the
    // box's icon, parent, title, text and buttons and returns the button chosen.
    // Unset (the default), the boxes are shown modally.
    using MessageBoxHandler = std::function<QMessageBox::StandardButton(
        QMessageBox::Icon, QWidget *, const QString &, const QString &, QMessageBox::StandardButtons)>;
    static void setMessageBoxHandler(MessageBoxHandler handler);

    // The address the logo and the copyright line lead to.
    static QString homePageUrl();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

private:
    static QMessageBox::StandardButton askUser(QMessageBox::Icon icon, QWidget *parent, const QString &title,
                                               const QString &text, QMessageBox::StandardButtons buttons);

    Configuration &m_configuration;
    UpdateEngine *m_engine;
    bool m_updateFinished;
    bool m_closeRequested;
};

#endif
