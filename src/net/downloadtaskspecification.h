#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "mirrors.h"
#include "taskspecification.h"

#include <QFile>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches one remote file from a randomly chosen mirror of the pool into one local
// file. A failed attempt (network error, status other than 200, read or write error,
// too much data, no data for longer than the mirror's time-out) counts against its
// mirror, deletes the partial file and starts over on another mirror; the transfer
// gives up when the pool runs empty. Redirects are never followed.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // A body of unknown expected size may not grow beyond this.
    static constexpr qint64 UnknownSizeLimit = 64 * 1024 * 1024;
    // Largest piece moved from the reply to the file at a time.
    static constexpr qint64 ChunkSize = 4096;
    // Most body bytes a reply holds in memory before it stops reading from the mirror.
    static constexpr qint64 ReadBufferSize = 1024 * 1024;

    // expectedSize: the file's size, or -1 when not known. Manager and pool are
    // shared by the run and not owned.
    DownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors, const QString &remotePath,
                              const QString &localFile, qint64 expectedSize, QObject *parent,
                              double progressShare);
    // Drops a reply still in flight; neither releases a mirror nor touches the file.
    ~DownloadTaskSpecification() override;

    // Called by the engine's one-second tick through the task tree; also the idle watchdog.
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading) override;

    // The mirror of the current attempt. After a successful finish it still names
    // the mirror that served the file; empty before the first attempt and after a
    // failed one.
    const FTPSiteAccessData &mirrorData() const { return m_mirrorData; }
    QString remotePath() const { return m_remotePath; }
    QString localFile() const { return m_file.fileName(); }

public slots:
    void execute() override;
    void reset() override;
    void userCanceled() override;
    // A sibling was cancelled while this transfer runs: abort and end with errorCancel().
    void handleOtherTaskCancelled(TaskSpecification *other) override;

protected:
    // Success: logs, gives the mirror back (keeping its name here) and finishes.
    virtual void downloadFinished();

    // One attempt on a mirror drawn from the pool.
    void startDownload();
    // Moves the available body to the file; false when it had to start a retry.
    bool readData();
    // Ends the attempt as failed, logs text and starts the next attempt. Returns true.
    bool errorRetry(QString text);
    // Ends the attempt without judging it: mirror released, reply dropped, partial file deleted.
    void resetDownload();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply *reply);

private:
    QString attemptAddress() const;
    void dropReply();
    void stopWaitingForMirror();

    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrorPool;
    QNetworkReply *m_reply;
    qint32 m_idleTicks;
    QString m_remotePath;
    QFile m_file;
    qint64 m_lastTickBytes;
    qint64 m_bytesTotal;
    qint64 m_initialBytesTotal;
    qint64 m_bytesReceived;
    FTPSiteAccessData m_mirrorData;
};

#endif
