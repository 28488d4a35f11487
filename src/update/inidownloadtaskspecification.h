#ifndef INIDOWNLOADTASKSPECIFICATION_H
#define INIDOWNLOADTASKSPECIFICATION_H

#include "composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Stage 1 of a run: brings the product ini and its ".sig" into the working directory and
// verifies the signature. A failed verification fetches both again, up to 1000 times.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    IniDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                 Configuration *configuration, QObject *parent, double weight);

    void execute() override;
    void reset() override;

    void makeSubtasksAndStart();

public slots:
    // Connected to the check's checkDone; runs inside that emission.
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrors;
    Configuration *m_configuration;
    int m_failedChecks = 0;
};

#endif
