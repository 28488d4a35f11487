#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filereplacetaskspecification.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>

bool FileReplaceSpecification::hasUnzip() const
{
    return !unzipFileName.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unzipFileName : fileName;
}

QString FileReplaceSpecification::destFileName(const QString &prefix) const
{
    const QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString dir = info.path();
    if (dir == QLatin1String("."))
        return prefix + info.fileName();
    return dir + QLatin1Char('/') + prefix + info.fileName();
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(QStringLiteral("_old_"));
}

QString FileReplaceSpecification::stagedDestFileName() const
{
    return destFileName(QStringLiteral("_new_"));
}

void FileSpecifications::clear()
{
    downloads.clear();
    replaces.clear();
    deletes.clear();
}

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration *configuration,
                                                         FileSpecifications &output)
    : m_output(output)
    , m_tempDir(configuration->m_tempDir)
    , m_clientType(configuration->m_clientType)
    , m_appRootPath(Configuration::getAppRootPath())
{
}

int MakeDownloadReplaceListFunc::getFileCount(QSettings &settings)
{
    int count = 0;
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        count += settings.allKeys().size();
        settings.endGroup();
    }
    return count;
}

bool MakeDownloadReplaceListFunc::isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part == QLatin1String(".."))
            return false;
    }
    // A path that names the directory itself ("." or "a/..") would have the directory replaced.
    return !QFileInfo(path).fileName().isEmpty() && QFileInfo(path).fileName() != QLatin1String(".");
}

bool MakeDownloadReplaceListFunc::fileMatches(const QString &path, const QString &md5) const
{
    if (!QFileInfo::exists(path))
        return false;
    CheckSigFunc check(path, md5);
    return check.run();
}

bool MakeDownloadReplaceListFunc::isInstalled(const QString &path, const QString &md5) const
{
    // A program file whose permissions were never set (a run was interrupted after the
    // copy) is installed again, which sets them.
    const QFileDevice::Permissions anyExecute = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    if (FileReplaceTaskSpecification::isExecutableFile(path)
        && (QFileInfo(path).permissions() & anyExecute) != anyExecute)
        return false;
    return fileMatches(path, md5);
}

bool MakeDownloadReplaceListFunc::run()
{
    m_output.clear();

    const QString iniPath = m_tempDir + QLatin1Char('/') + m_clientType + QStringLiteral(".ini");
    emit message(QStringLiteral("Compiling download and replace list"));

    QSettings settings(iniPath, QSettings::IniFormat);
    const int total = getFileCount(settings);
    if (total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }

    const auto unsafe = [this](const QString &path, const QString &section) {
        emit message(QStringLiteral("Warning: product ini contains unsafe path %1 in section %2")
                         .arg(path, section));
        return false;
    };

    int counter = 0;
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        if (section == QLatin1String("delete")) {
            for (const QString &key : keys) {
                ++counter;
                emit progress(qreal(counter) / total);
                if (!isSafeRelativePath(key))
                    return unsafe(key, section);
                if (QFileInfo::exists(m_appRootPath + QLatin1Char('/') + key))
                    m_output.deletes.append(key);
            }
        } else {
            for (const QString &key : keys) {
                ++counter;
                emit progress(qreal(counter) / total);
                if (!isSafeRelativePath(key))
                    return unsafe(key, section);

                const QStringList parts = settings.value(key).toString().split(QStringLiteral("::"));
                if (parts.size() != 2 && parts.size() != 5) {
                    emit message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                                     .arg(section));
                    return false;
                }

                FileDownloadSpecification download;
                download.section = section;
                download.fileName = key;
                download.md5 = parts.at(0);
                download.size = parts.at(1).toULongLong();

                FileReplaceSpecification replace;
                replace.section = section;
                replace.fileName = key;
                if (parts.size() == 5) {
                    replace.unzipMd5 = parts.at(2);
                    replace.unzipSize = parts.at(3).toULongLong();
                    replace.unzipFileName = parts.at(4);
                    if (!isSafeRelativePath(replace.unzipFileName))
                        return unsafe(replace.unzipFileName, section);
                }

                const QString installed = m_appRootPath + QLatin1Char('/') + replace.pureDestFilePath();
                if (isInstalled(installed, replace.hasUnzip() ? replace.unzipMd5 : download.md5)) {
                    // A run interrupted after installing the file may have left its set-aside
                    // copy, one interrupted before it a staged new copy.
                    if (!Configuration::isSpecialFileName(QFileInfo(installed).fileName())
                        && QFileInfo::exists(m_appRootPath + QLatin1Char('/') + replace.oldDestFileName()))
                        m_output.deletes.append(replace.oldDestFileName());
                    if (QFileInfo::exists(m_appRootPath + QLatin1Char('/') + replace.stagedDestFileName()))
                        m_output.deletes.append(replace.stagedDestFileName());
                    continue;
                }
                m_output.replaces.append(replace);

                if (!fileMatches(m_tempDir + QLatin1Char('/') + key, download.md5))
                    m_output.downloads.append(download);
            }
        }
        settings.endGroup();
    }
    return true;
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration *configuration, FileSpecifications &target, QObject *parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , m_configuration(configuration)
    , m_target(&target)
{
}

ASyncFunc *MakeDownloadReplaceListTaskSpecification::createFunction()
{
    return new MakeDownloadReplaceListFunc(m_configuration, m_own);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool pass)
{
    if (pass) {
        m_target->downloads = m_own.downloads;
        m_target->replaces = m_own.replaces;
        m_target->deletes = m_own.deletes;
    }
    ASyncTaskSpecification::runDone(pass);
}
