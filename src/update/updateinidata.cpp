#include "updateinidata.h"

#include "configuration.h"

#include <QDir>
#include <QFile>
#include <QSettings>

namespace {
const QString CurrentSection = QStringLiteral("current");
}

QString UpdateIniData::filename()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int *version, QString *type, QString *dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(CurrentSection);
    bool versionOk = false;
    const int storedVersion = settings.value(QStringLiteral("version")).toInt(&versionOk);
    const QString storedDir = settings.value(QStringLiteral("dir")).toString();
    const QString storedType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();

    if (!versionOk || storedType.isEmpty() || storedDir.isEmpty() || !QFile::exists(storedDir))
        return false;
    if (version)
        *version = storedVersion;
    if (dir)
        *dir = storedDir;
    if (type)
        *type = storedType;
    return true;
}

void UpdateIniData::modify(int version, const QString &dir, const QString &type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(CurrentSection);
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(CurrentSection);
}
