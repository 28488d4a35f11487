#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include <QObject>
#include <QString>
#include <QStringList>

// Release channel; the values index the service's list of latest versions.
enum UpdateChannel { Stable = 0, Beta = 1, Alpha = 2 };

// The run configuration: settled once at start-up from the command line,
// "update.ini" and the latest-version service, then only read.
class Configuration : public QObject
{
    Q_OBJECT
public:
    Configuration();

    // The installation directory: the directory of the updater's executable.
    static QString getAppRootPath();
    // Tests point the application directory elsewhere; the shipped program never calls this.
    // An empty path restores the executable's directory.
    static void setAppRootPathOverride(const QString &path);
};

#endif
