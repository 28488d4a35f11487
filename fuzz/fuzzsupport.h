#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QString>

// Shared by the fuzz targets. Call fuzzInitialize() from LLVMFuzzerInitialize.
namespace fuzz {

// Creates the application object and the process's private scratch directory
// (below $TMPDIR, removed at exit).
void initialize();

// Stops the run with a message on stderr; libFuzzer saves the input as a crash.
[[noreturn]] void fail(const char *what, const QString &detail = QString());

// A fresh, empty directory for one input, removed with everything in it when the
// object goes. Paths never repeat within a process, so no settings cache can hand
// back the content of an earlier input.
class InputDir
{
public:
    InputDir();
    ~InputDir();
    InputDir(const InputDir &) = delete;
    InputDir &operator=(const InputDir &) = delete;

    const QString &path() const { return m_path; }
    QString file(const QString &relative) const;
    // Writes a file below this directory, creating its parents. Refuses (returns
    // false) paths that would leave the directory.
    bool write(const QString &relative, const QByteArray &content) const;

private:
    QString m_path;
};

} // namespace fuzz

#define FUZZ_CHECK(condition, detail)                                                             \
    do {                                                                                         \
        if (!(condition))                                                                        \
            fuzz::fail(#condition, detail);                                                      \
    } while (false)

#endif
