#include "processtools.h"

#include "configuration.h"

#include <QProcess>
#include <QStringList>

void ProcessTools::startCv3Client()
{
    // The path is the program itself, never split at blanks.
    const QString program = Configuration::getAppRootPath() + QLatin1Char('/') + Configuration::getClientBinaryName();
    QProcess::startDetached(program, QStringList());
}
