#include "stagesetup.h"

#include "configuration.h"
#include "testdirs.h"

#include <QDir>
#include <QSignalSpy>
#include <QtGlobal>

std::unique_ptr<Configuration> stageConfiguration(const TestDirs &dirs)
{
    std::unique_ptr<Configuration> configuration(new Configuration);
    configuration->m_clientType = QStringLiteral("client_linux_x86");
    configuration->m_tempDir = dirs.tempDir() + QStringLiteral("/corvane_temp_0");
    if (!QDir().mkpath(configuration->m_tempDir)) {
        qWarning("cannot make the working directory %s", qPrintable(configuration->m_tempDir));
        return nullptr;
    }
    return configuration;
}

QStringList spyTexts(const QSignalSpy &spy)
{
    QStringList result;
    for (const auto &arguments : spy)
        result << arguments.at(0).toString();
    return result;
}
