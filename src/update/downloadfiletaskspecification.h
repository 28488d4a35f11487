#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Fetches one file of the download list and checks its MD5. A copy that fails the check
// costs its mirror its place in the pool, and the file is fetched again from another one.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileTaskSpecification(const FileDownloadSpecification &file, QNetworkAccessManager *manager,
                                  Mirrors *mirrors, Configuration *configuration, QObject *parent,
                                  double weight);

    void execute() override;
    void reset() override;
    // Once the file is in, its transfer and check are released; the figures they would
    // report are kept and reported in their place.
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading) override;
    void subtasksDone() override;

    void makeSubtasksAndStart();

public slots:
    // Connected to the check's checkDone; runs inside that emission.
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    FileDownloadSpecification m_file;
    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrors;
    Configuration *m_configuration;
    DownloadTaskSpecification *m_download = nullptr;
    bool m_released = false;
    quint64 m_doneBytes = 0;
    quint64 m_doneTotal = 0;
    quint64 m_pendingSpeed = 0;
};

#endif
