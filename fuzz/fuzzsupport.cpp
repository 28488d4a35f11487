#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace fuzz {
namespace {

QTemporaryDir *scratch = nullptr;
quint64 inputCounter = 0;

void removeScratch()
{
    delete scratch;
    scratch = nullptr;
}

} // namespace

void initialize()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
    if (!scratch) {
        scratch = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/corvane-fuzz-XXXXXX"));
        if (!scratch->isValid())
            fail("cannot create the scratch directory", scratch->errorString());
        std::atexit(removeScratch);
    }
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n%s\n", what, qPrintable(detail));
    std::abort();
}

InputDir::InputDir()
{
    if (!scratch)
        fail("fuzz::initialize() was not called");
    m_path = scratch->path() + QLatin1Char('/') + QString::number(++inputCounter);
    if (!QDir().mkpath(m_path))
        fail("cannot create an input directory", m_path);
}

InputDir::~InputDir()
{
    QDir(m_path).removeRecursively();
}

QString InputDir::file(const QString &relative) const
{
    return m_path + QLatin1Char('/') + relative;
}

bool InputDir::write(const QString &relative, const QByteArray &content) const
{
    const QString path = QDir::cleanPath(file(relative));
    if (!path.startsWith(m_path + QLatin1Char('/')))
        return false;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return out.write(content) == content.size();
}

} // namespace fuzz
