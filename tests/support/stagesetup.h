#ifndef STAGESETUP_H
#define STAGESETUP_H

#include <QStringList>

#include <memory>

class Configuration;
class QSignalSpy;
class TestDirs;

// A run configuration for driving update stages directly: client type "client_linux_x86"
// and the working directory "corvane_temp_0", made inside dirs' temporary directory.
// Null (with a warning) when that directory cannot be made.
std::unique_ptr<Configuration> stageConfiguration(const TestDirs &dirs);

// The first argument of every emission a spy recorded, as text (log and message lines).
QStringList spyTexts(const QSignalSpy &spy);

#endif
