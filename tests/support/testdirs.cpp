#include "testdirs.h"

#include "configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TestDirs::TestDirs()
    : m_appDir(QDir::tempPath() + QStringLiteral("/corvane-test-app-XXXXXX"))
    , m_tempDir(QDir::tempPath() + QStringLiteral("/corvane-test-tmp-XXXXXX"))
    , m_oldTmpDir(qgetenv("TMPDIR"))
    , m_hadTmpDir(qEnvironmentVariableIsSet("TMPDIR"))
{
    Configuration::setAppRootPathOverride(m_appDir.path());
    qputenv("TMPDIR", QFile::encodeName(m_tempDir.path()));
}

TestDirs::~TestDirs()
{
    Configuration::setAppRootPathOverride(QString());
    if (m_hadTmpDir)
        qputenv("TMPDIR", m_oldTmpDir);
    else
        qunsetenv("TMPDIR");
}

bool TestDirs::isValid() const
{
    return m_appDir.isValid() && m_tempDir.isValid();
}

QString TestDirs::appFile(const QString &relative) const
{
    return QDir(m_appDir.path()).absoluteFilePath(relative);
}

bool TestDirs::writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

QByteArray TestDirs::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}
