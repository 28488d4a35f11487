#include "configuration.h"

#include "updatechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

namespace {
QString &appRootOverride()
{
    static QString path;
    return path;
}

std::function<bool()> &retryPromptOverride()
{
    static std::function<bool()> prompt;
    return prompt;
}

QString settingsFilePath()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

const int DefaultDownloadStreams = 6;
const int TempDirCandidates = 1000;
}

Configuration::Configuration()
    : QObject(nullptr)
    , m_noUser(0)
    , m_channel(Stable)
    , m_clientVersion(0)
    , m_downloadStreams(0)
{
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &arguments)
{
    const int count = arguments.size();
    getUpdateChannel();
    m_noUser = 0;

    if (count >= 2 && arguments.at(1) == QLatin1String("--nouser")) {
        if (count >= 4 && !getClientTypeVersion(arguments, 2))
            return false;
        if (count >= 5 && arguments.at(4) != QLatin1String("#"))
            m_versionLabel = arguments.at(4);
        if (count >= 6)
            m_news = arguments.at(5);
        if (!getDefaultParameters())
            return false;
        m_noUser = 1;
        return true;
    }
    if (count == 3)
        return getClientTypeVersion(arguments, 1);
    return getDefaultParameters();
}

void Configuration::getUpdateChannel()
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    const bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!alpha.isEmpty()) {
        m_channel = Alpha;
        m_clientVersion = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
    } else {
        m_channel = beta ? Beta : Stable;
        m_clientVersion = 0;
    }
    settings.endGroup();
}

bool Configuration::getClientTypeVersion(const QStringList &arguments, int index)
{
    if (index >= arguments.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    m_clientType = arguments.at(index);
    if (index + 1 >= arguments.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return getClientVersionFromString(arguments.at(index + 1),
                                      QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString &text, const QString &errorFormat)
{
    if (m_clientVersion != 0)
        return true;
    bool ok = false;
    m_clientVersion = text.toInt(&ok, 10);
    if (ok)
        return true;
    emit fatalError(errorFormat.arg(text));
    return false;
}

bool Configuration::getDefaultParameters()
{
    if (m_clientType.isEmpty())
        m_clientType = getUpdateType();
    if (m_clientVersion != 0)
        return true;

    const QPair<QString, QString> latest = getLatestClientVersion(m_channel, m_news);
    if (!latest.first.isEmpty()
        && getClientVersionFromString(latest.first,
                                      QObject::tr("Update server returned invalid version nr (%1)"))) {
        m_versionLabel = latest.second;
        return true;
    }
    return false;
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel channel, QString &news)
{
    UpdateChecker checker;
    while (!checker.checkUpdate()) {
        if (!askRetryLatestVersion())
            return qMakePair(QString(), QString());
    }
    news = checker.m_newsText;
    return checker.getClientVersionByChannel(channel);
}

bool Configuration::askRetryLatestVersion()
{
    if (retryPromptOverride())
        return retryPromptOverride()();
    const QMessageBox::StandardButton answer = QMessageBox::critical(
        nullptr, QObject::tr("Error"),
        QObject::tr("Failed to query latest client\nversion from update server."),
        QMessageBox::Retry | QMessageBox::Abort, QMessageBox::NoButton);
    return answer != QMessageBox::Abort;
}

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_proxy = settings.value(QStringLiteral("proxy")).toString();
    m_downloadStreams = settings.value(QStringLiteral("streams"), DefaultDownloadStreams).toInt();
    if (m_downloadStreams < 1)
        m_downloadStreams = DefaultDownloadStreams;
    settings.endGroup();
}

bool Configuration::initalizeStart(const QString &sessionDir)
{
    if (sessionDir.isEmpty())
        return createTempDir();
    m_tempDir = sessionDir;
    return true;
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += QStringLiteral("corvane_temp_");

    for (int n = 0; n < TempDirCandidates; ++n) {
        const QString candidate = base + QString::number(n);
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        // The parent is made with its missing levels, the candidate itself
        // exclusively: a directory that appeared meanwhile (another copy, or
        // someone else in a shared /tmp) is never adopted.
        const QFileInfo info(candidate);
        if (!QDir().mkpath(info.absolutePath()))
            continue;
        if (QDir(info.absolutePath()).mkdir(info.fileName())) {
            m_tempDir = candidate;
            return true;
        }
    }
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

bool Configuration::isSpecialFileName(const QString &fileName)
{
    return getSpecialFileNames().contains(fileName, Qt::CaseSensitive);
}

QString Configuration::getAppRootPath()
{
    const QString &overridden = appRootOverride();
    if (!overridden.isEmpty())
        return overridden;
    return QCoreApplication::applicationDirPath();
}

QString Configuration::getUpdateType()
{
    return QStringLiteral("client_linux_x86");
}

QString Configuration::getClientBinaryName()
{
    return QStringLiteral("cv3client_runscript.sh");
}

QStringList Configuration::getSpecialFileNames()
{
    return QStringList{QStringLiteral("update"),
                       QStringLiteral("libQtCore.so.4"),
                       QStringLiteral("libQtGui.so.4"),
                       QStringLiteral("libQtNetwork.so.4"),
                       QStringLiteral("libqgif.so"),
                       QStringLiteral("libqjpeg.so"),
                       QStringLiteral("libqtaccessiblewidgets.so")};
}

const QString &Configuration::getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

void Configuration::setAppRootPathOverride(const QString &path)
{
    appRootOverride() = path;
}

void Configuration::setRetryPromptOverride(const std::function<bool()> &askRetry)
{
    retryPromptOverride() = askRetry;
}
