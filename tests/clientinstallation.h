#ifndef CLIENTINSTALLATION_H
#define CLIENTINSTALLATION_H

// Shared by the whole-program tests (interrupted updates, misbehaving mirrors):
// a client release described file by file, the installation it must leave
// behind, and an in-process update run through the engine as the window drives it.

#include "configuration.h"
#include "maintaskspecification.h"
#include "releasefixture.h"
#include "updateengine.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>

#include <functional>

namespace ClientInstallation {

const QString ClientType = QStringLiteral("client_linux_x86");
const QString Section = QStringLiteral("client");

// What the updater must leave behind for one release.
struct Release
{
    int version = 0;
    // Installed relative path -> content, for every file of the release.
    QMap<QString, QByteArray> files;
    // Installed paths the release no longer has ("delete" section).
    QStringList obsolete;
    // Files published gzip-packed (patterns as the release builder takes them).
    QStringList pack;
    // Filled by publish().
    ReleaseFixture::Release published;

    QString requestPath(const QString &remoteKey) const
    {
        return QStringLiteral("/%1/%2/%3").arg(version).arg(Section, remoteKey);
    }
    QString iniRequestPath() const { return QStringLiteral("/%1/%2.ini").arg(version).arg(ClientType); }
};

inline QString publish(const QString &mirrorRoot, Release *release)
{
    ReleaseFixture::Options options;
    options.clientType = ClientType;
    options.section = Section;
    options.pack = release->pack;
    options.deletes = release->obsolete;
    release->published = ReleaseFixture::build(mirrorRoot, release->version, release->files, options);
    return release->published.ok ? QString() : release->published.error;
}

inline QByteArray md5Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

inline QByteArray md5OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return hash.result().toHex();
}

inline bool mustBeExecutable(const QString &path)
{
    static const QStringList names = {
        QStringLiteral("cv3client_linux_x86"), QStringLiteral("cv3client_linux_amd64"),
        QStringLiteral("cv3client_runscript.sh"), QStringLiteral("update"),
        QStringLiteral("error_report"), QStringLiteral("package_inst"),
    };
    const QFileInfo info(path);
    return names.contains(info.fileName()) || info.completeSuffix() == QLatin1String("so")
           || info.completeSuffix() == QLatin1String("so.4");
}

const QFileDevice::Permissions AnyExecute = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

// Writes files below root as a previous install left them: program files executable.
inline bool writeFiles(const QString &root, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (!ReleaseFixture::writeFile(path, it.value()))
            return false;
        QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                               | QFileDevice::ReadUser | QFileDevice::WriteUser
                                               | QFileDevice::ReadGroup | QFileDevice::ReadOther;
        if (mustBeExecutable(it.key()))
            permissions |= QFileDevice::ExeOwner | QFileDevice::ExeUser | AnyExecute;
        if (!QFile::setPermissions(path, permissions))
            return false;
    }
    return true;
}

// One mirror per base address, named m1, m2, ...; retries 0 keeps the pool's default.
inline bool writeMirrorsIni(const QString &appDir, const QStringList &baseUrls, int retries = 0)
{
    const QString path = appDir + QStringLiteral("/mirrors.ini");
    QFile::remove(path);
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.beginWriteArray(QStringLiteral("mirrors"));
        for (int i = 0; i < baseUrls.size(); ++i) {
            settings.setArrayIndex(i);
            settings.setValue(QStringLiteral("mirror"), QStringLiteral("m%1").arg(i + 1));
        }
        settings.endArray();
        for (int i = 0; i < baseUrls.size(); ++i) {
            settings.beginGroup(QStringLiteral("m%1").arg(i + 1));
            settings.setValue(QStringLiteral("url"), baseUrls.at(i));
            if (retries > 0)
                settings.setValue(QStringLiteral("retries"), retries);
            settings.endGroup();
        }
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
    return QFileInfo::exists(path);
}

inline bool isSpecialOldCopy(const QString &relativePath)
{
    const QString name = QFileInfo(relativePath).fileName();
    const QString prefix = Configuration::getSpecialFileRenamePrefix();
    return name.startsWith(prefix) && Configuration::isSpecialFileName(name.mid(prefix.size()));
}

// Every file below root (hidden ones too), relative paths.
inline QStringList filesBelow(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        result.append(QDir(root).relativeFilePath(it.next()));
    result.sort();
    return result;
}

// Empty when the installation below appDir is exactly the release: every file
// with its content and its execute bits, no obsolete file, nothing else but
// the updater's own files and the set-aside copies of special files.
// Otherwise one line per difference.
inline QString mismatch(const QString &appDir, const Release &release,
                        const QStringList &ownFiles = {QStringLiteral("update"), QStringLiteral("update.ini"),
                                                       QStringLiteral("mirrors.ini")})
{
    QStringList problems;
    for (auto it = release.files.cbegin(); it != release.files.cend(); ++it) {
        const QString path = appDir + QLatin1Char('/') + it.key();
        const QFileInfo info(path);
        if (!info.exists()) {
            problems << QStringLiteral("missing: %1").arg(it.key());
            continue;
        }
        if (md5OfFile(path) != md5Hex(it.value()))
            problems << QStringLiteral("wrong content: %1").arg(it.key());
        const QFileDevice::Permissions execute = info.permissions() & AnyExecute;
        if (mustBeExecutable(it.key()) && execute != AnyExecute)
            problems << QStringLiteral("not executable: %1").arg(it.key());
        if (!mustBeExecutable(it.key()) && execute)
            problems << QStringLiteral("executable: %1").arg(it.key());
    }
    for (const QString &gone : release.obsolete) {
        if (QFileInfo::exists(appDir + QLatin1Char('/') + gone))
            problems << QStringLiteral("obsolete file left: %1").arg(gone);
    }
    for (const QString &file : filesBelow(appDir)) {
        if (release.files.contains(file) || ownFiles.contains(file) || isSpecialOldCopy(file)
            || release.obsolete.contains(file))
            continue;
        if (QFileInfo(file).fileName().startsWith(Configuration::getSpecialFileRenamePrefix()))
            problems << QStringLiteral("set-aside copy left: %1").arg(file);
        else
            problems << QStringLiteral("unexpected file: %1").arg(file);
    }
    return problems.join(QLatin1Char('\n'));
}

inline bool hasSessionRecord(const QString &appDir)
{
    QSettings settings(appDir + QStringLiteral("/update.ini"), QSettings::IniFormat);
    return settings.childGroups().contains(QStringLiteral("current"));
}

// Working directories ("corvane_temp_<n>") below a temporary directory.
inline QStringList workingDirs(const QString &tempDir)
{
    return QDir(tempDir).entryList({QStringLiteral("corvane_temp_*")}, QDir::Dirs | QDir::NoDotAndDotDot);
}

// Remote keys (below the section) of the downloads that lie complete and
// verified in a working directory.
inline QSet<QString> verifiedDownloads(const QString &workDir, const Release &release)
{
    QSet<QString> result;
    for (const ProductIni::Entry &entry : release.published.ini.entries()) {
        const QStringList fields = entry.fields();
        if (fields.size() < 2)
            continue;
        if (md5OfFile(workDir + QLatin1Char('/') + entry.key) == fields.at(0).toLatin1())
            result.insert(entry.key);
    }
    return result;
}

// An update run in this process, as the window starts it: the engine prepares
// and runs, and the test drives the transfers' idle clock much faster than
// once a second so stalled mirrors cost no real waiting.
struct EngineRun
{
    bool initialized = false;
    bool finished = false;
    bool canceled = false;
    bool timedOut = false;
    QStringList log;
    QStringList fatalErrors;

    QString describe() const
    {
        return QStringLiteral("initialized %1, finished %2, canceled %3, timed out %4, fatal [%5]\nlog:\n%6")
            .arg(initialized).arg(finished).arg(canceled).arg(timedOut)
            .arg(fatalErrors.join(QLatin1String("; ")), log.join(QLatin1Char('\n')));
    }
};

inline EngineRun runEngine(int version, int timeoutMs, int tickIntervalMs = 50)
{
    EngineRun run;
    Configuration configuration;
    configuration.m_clientType = ClientType;
    configuration.m_clientVersion = version;
    UpdateEngine engine(configuration, nullptr);
    QSignalSpy messages(&engine, SIGNAL(message(QString)));
    QSignalSpy fatal(&engine, SIGNAL(fatalError(QString)));
    QSignalSpy finished(&engine, SIGNAL(updateFinished()));
    QSignalSpy canceled(&engine, SIGNAL(updateCanceled()));

    const auto collect = [&] {
        for (const QList<QVariant> &arguments : std::as_const(messages))
            run.log << arguments.at(0).toString();
        for (const QList<QVariant> &arguments : std::as_const(fatal))
            run.fatalErrors << arguments.at(0).toString();
    };

    run.initialized = engine.initialize();
    if (!run.initialized) {
        collect();
        return run;
    }
    engine.startUpdate();

    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &engine, [&engine] {
        if (MainTaskSpecification *root = engine.findChild<MainTaskSpecification *>()) {
            quint64 done = 0, total = 0, speed = 0;
            bool downloading = false;
            root->timeTick(done, total, speed, downloading);
        }
    });
    ticker.start(tickIntervalMs);

    QElapsedTimer clock;
    clock.start();
    while (finished.isEmpty() && canceled.isEmpty() && clock.elapsed() < timeoutMs)
        finished.wait(50);
    if (finished.isEmpty() && canceled.isEmpty()) {
        run.timedOut = true;
        engine.cancelUpdate();
        canceled.wait(5000);
    }
    ticker.stop();
    run.finished = !finished.isEmpty();
    run.canceled = !canceled.isEmpty();
    // Let deferred deletions of the task tree run before the engine goes.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    collect();
    return run;
}

} // namespace ClientInstallation

#endif
