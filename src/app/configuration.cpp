#include "configuration.h"

#include <QCoreApplication>

namespace {
QString &appRootOverride()
{
    static QString path;
    return path;
}
}

Configuration::Configuration() = default;

QString Configuration::getAppRootPath()
{
    const QString &overridden = appRootOverride();
    if (!overridden.isEmpty())
        return overridden;
    return QCoreApplication::applicationDirPath();
}

void Configuration::setAppRootPathOverride(const QString &path)
{
    appRootOverride() = path;
}
