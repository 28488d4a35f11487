#ifndef MAINTASKSPECIFICATION_H
#define MAINTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The root task of an update run: its five stages one after another, with the progress
// shares 0.1, 0.05, 0.4, 0.4 and 0.05. Owns the lists that the stages hand on.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(QNetworkAccessManager *networkManager, Mirrors *mirrors, Configuration *configuration,
                          QObject *parent, double share);

    void execute() override;
    void reset() override;

    void makeSubtasksAndStart();

private:
    QNetworkAccessManager *m_networkManager;
    Mirrors *m_mirrors;
    Configuration *m_configuration;
    FileSpecifications m_fileSpecs;
};

#endif
