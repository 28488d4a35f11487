#ifndef DOWNLOADFILELISTTASKSPECIFICATION_H
#define DOWNLOADFILELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"

#include <QHash>

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Stage 3 of a run: fetches every file of the download list into the working directory,
// up to the configured number of streams at once.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification> *downloads, QNetworkAccessManager *manager,
                                      Mirrors *mirrors, Configuration *configuration, QObject *parent,
                                      double weight);

    void execute() override;
    void reset() override;
    // The total is the sum of the product ini sizes, whatever the transfers report.
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading) override;

    void makeSubtasksAndStart();
    bool makeSubDirs();

protected:
    void connectSignals(TaskSpecification *child) override;

private:
    QList<FileDownloadSpecification> *m_downloads;
    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrors;
    Configuration *m_configuration;
    quint64 m_totalSize = 0;
    // Last progress of each file task and their sum, kept up to date one report at a time.
    QHash<TaskSpecification *, double> m_fileProgress;
    double m_progressSum = 0;
};

#endif
