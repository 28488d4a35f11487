#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

// Release channel; the values index the service's list of latest versions.
enum UpdateChannel { Stable = 0, Beta = 1, Alpha = 2 };

// The run configuration: settled once at start-up from the command line,
// "update.ini" and the latest-version service, then only read (the update
// engine sets m_tempDir through initalizeStart when a run begins).
class Configuration : public QObject
{
    Q_OBJECT
public:
    Configuration();

    // Start-up settlement from QCoreApplication::arguments(); true when channel,
    // type and version are settled. Failures go out through fatalError, except
    // when the user aborts the latest-version query or the service has no entry.
    bool parseCommandLineOptions();
    // The same from an explicit argument list (entry 0 is the program).
    bool parseCommandLineOptions(const QStringList &arguments);

    // Sets m_channel and m_clientVersion from the section "Channel" of "update.ini".
    void getUpdateChannel();
    // Type from arguments[index], version from arguments[index + 1].
    bool getClientTypeVersion(const QStringList &arguments, int index);
    // Converts text into m_clientVersion unless a version is already set;
    // errorFormat's "%1" receives the rejected text.
    bool getClientVersionFromString(const QString &text, const QString &errorFormat);
    // Fills in the default type and, without a version, asks the latest-version service.
    bool getDefaultParameters();
    // Queries the service until it answers or the user aborts the retry dialog.
    // Returns (version text, label); both empty on abort or when the service
    // lists no entry for the channel. news is overwritten only on success.
    QPair<QString, QString> getLatestClientVersion(UpdateChannel channel, QString &news);
    // Reads the section "update" into m_proxy and m_downloadStreams.
    void getProxyAndDownloadConcurrency();
    // Called by the update engine at each run start: adopts a resumed session's
    // directory, or makes a fresh one when sessionDir is empty.
    bool initalizeStart(const QString &sessionDir);
    // Makes a fresh "corvane_temp_<n>" in the system's temporary directory.
    bool createTempDir();

    // True for the names of files in use while the updater runs (bare name, case-sensitive).
    static bool isSpecialFileName(const QString &fileName);

    // The installation directory: the directory of the updater's executable.
    static QString getAppRootPath();
    static QString getUpdateType();
    static QString getClientBinaryName();
    static QStringList getSpecialFileNames();
    static const QString &getSpecialFileRenamePrefix();

    // Tests point the application directory elsewhere; the shipped program never calls this.
    // An empty path restores the executable's directory.
    static void setAppRootPathOverride(const QString &path);
    // Tests answer the retry dialog of getLatestClientVersion: the function returns
    // true for Retry, false for Abort. An empty function restores the message box.
    static void setRetryPromptOverride(const std::function<bool()> &askRetry);

    int m_noUser;
    UpdateChannel m_channel;
    QString m_clientType;
    int m_clientVersion;
    QString m_versionLabel;
    QString m_news;
    QString m_tempDir;
    QString m_proxy;
    int m_downloadStreams;

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    static bool askRetryLatestVersion();
};

#endif
