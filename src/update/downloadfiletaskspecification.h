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
};

#endif
