#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QList>
#include <QString>

class Configuration;
class QSettings;

// One file to fetch: from <section>/<fileName> on a mirror to <fileName> in the working directory.
struct FileDownloadSpecification
{
    QString section;
    QString fileName;
    QString md5;
    quint64 size = 0;
};

// One file to install from the working directory into the installation directory.
struct FileReplaceSpecification
{
    QString section;
    QString fileName;
    QString unzipMd5;
    quint64 unzipSize = 0;
    QString unzipFileName;

    bool hasUnzip() const;
    // Relative path of the installed file: the unpacked name for a packed file, else fileName.
    QString pureDestFilePath() const;
    // pureDestFilePath() with the prefix put before its file-name part.
    QString destFileName(const QString &prefix) const;
    // Where the installed file is set aside while it is replaced ("_old_" + name).
    QString oldDestFileName() const;
    // Where the new copy is written and verified before it is renamed into place ("_new_" + name).
    QString stagedDestFileName() const;
};

// The lists handed from the list compilation to the download, install and delete stages.
struct FileSpecifications
{
    FileSpecifications() = default;
    void clear();

    QList<FileDownloadSpecification> downloads;
    QList<FileReplaceSpecification> replaces;
    QList<QString> deletes;
};

// Compiles the three lists from the verified product ini. Runs on a pool thread and
// writes only the output it was given; the settings it needs are copied at construction.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    MakeDownloadReplaceListFunc(Configuration *configuration, FileSpecifications &output);

    bool run() override;
    // Keys of all sections together, "delete" included.
    static int getFileCount(QSettings &settings);
    // A path from the product ini may only name something below the directory it is joined to.
    static bool isSafeRelativePath(const QString &path);

private:
    bool fileMatches(const QString &path, const QString &md5) const;
    // The installed file is current: right content and, for a program file, executable.
    bool isInstalled(const QString &path, const QString &md5) const;

    FileSpecifications &m_output;
    QString m_tempDir;
    QString m_clientType;
    QString m_appRootPath;
};

// Stage 2 of a run: compiles the lists on the thread pool and hands them to the run's
// shared lists on the GUI thread once the worker has succeeded.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    MakeDownloadReplaceListTaskSpecification(Configuration *configuration, FileSpecifications &target,
                                             QObject *parent, double weight);

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool pass) override;

private:
    Configuration *m_configuration;
    FileSpecifications *m_target;
    FileSpecifications m_own;
};

#endif
