#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include <QByteArray>
#include <QObject>
#include <QString>

class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Owns and drives one update run at a time: prepares it, runs the root task,
// relays its signals to the window and fetches the banner picture.
// Everything happens on the GUI thread.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum EngineState {
        EngineIdle = 0,
        EngineInitialized = 1,
        EngineRunning = 2,
        EngineFinished = 3,
        EngineCanceled = 4
    };
    Q_ENUM(EngineState)

    // Largest banner picture accepted, in bytes.
    static constexpr qint64 MaxBannerSize = 270000;

    UpdateEngine(Configuration &configuration, QObject *parent);
    ~UpdateEngine() override;

    // Prepares a run; false (with the reason on fatalError) when no update is possible.
    bool initialize();
    // Creates and starts the root task; call only after a successful initialize().
    bool startUpdate();
    // True while a run is prepared or running.
    bool busy() const;
    // Back to idle after a cancelled run, so that another run may be prepared.
    void reset();
    // Starts the banner query; the picture arrives later on bannerFound.
    void getBanner();

    // Deletes the set-aside copies ("_old_" + special name) in dir, or puts one back under
    // its name when that file is missing; silent.
    static void removeOldFiles(const QString &dir);

    // Removes the working directory of the recorded session and the record itself.
    void cleanup();
    // Deletes everything below dir, leaving dir itself; symbolic links are neither followed nor removed.
    void cleanupDirectory(const QString &dir);

    EngineState state() const { return m_state; }
    QNetworkAccessManager *networkManager() const { return m_networkManager; }
    // True while a banner picture is being fetched.
    bool isFetchingBanner() const { return m_bannerReply != nullptr; }

public slots:
    // Asks the running root task to stop; the run then ends with updateCanceled().
    void cancelUpdate();

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerReadyRead();

private:
    void dropBanner();

    EngineState m_state;
    Configuration *m_configuration;
    Mirrors *m_mirrors;
    MainTaskSpecification *m_mainTask;
    QTimer *m_timer;
    QNetworkAccessManager *m_networkManager;
    QString m_bannerClickUrl;
    QNetworkReply *m_bannerReply;
    QByteArray m_bannerData;
};

#endif
