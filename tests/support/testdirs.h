#ifndef TESTDIRS_H
#define TESTDIRS_H

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Gives a test its own application directory and its own system temporary
// directory (TMPDIR), so nothing touches the source tree, the build tree or
// another test running in parallel. Restores both on destruction.
class TestDirs
{
public:
    TestDirs();
    ~TestDirs();
    TestDirs(const TestDirs &) = delete;
    TestDirs &operator=(const TestDirs &) = delete;

    bool isValid() const;
    QString appDir() const { return m_appDir.path(); }
    QString tempDir() const { return m_tempDir.path(); }

    // Path of a file in the application directory.
    QString appFile(const QString &relative) const;
    // Writes a file (creating parent directories) relative to the given root.
    static bool writeFile(const QString &path, const QByteArray &content);
    static QByteArray readFile(const QString &path);

private:
    QTemporaryDir m_appDir;
    QTemporaryDir m_tempDir;
    QByteArray m_oldTmpDir;
    bool m_hadTmpDir;
};

#endif
