#include "filecopytaskspecification.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Copies what is left of in to out: in the kernel where it can, else through a buffer.
bool copyContent(int in, int out)
{
    bool kernelCopy = true;
    for (;;) {
        if (kernelCopy) {
            const ssize_t sent = ::sendfile(out, in, nullptr, 1 << 30);
            if (sent > 0)
                continue;
            if (sent == 0)
                return true;
            if (errno == EINTR)
                continue;
            if (errno != EINVAL && errno != ENOSYS)
                return false;
            kernelCopy = false;
        }
        char buffer[65536];
        const ssize_t count = ::read(in, buffer, sizeof buffer);
        if (count == 0)
            return true;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t written = 0; written < count;) {
            const ssize_t n = ::write(out, buffer + written, size_t(count - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            written += n;
        }
    }
}

} // namespace

FileCopyFunc::FileCopyFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileCopyFunc::run()
{
    // What QFile::copy does (refuse an existing destination, give the copy the source's
    // permissions, leave nothing behind on failure), without the sync to disk that Qt 6 adds
    // to every copy: that made installing thousands of files several times slower.
    const int in = ::open(QFile::encodeName(m_source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat status;
    if (::fstat(in, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(in);
        return QFile::copy(m_source, m_destination);
    }
    const QByteArray destination = QFile::encodeName(m_destination);
    const int out = ::open(destination.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool copied = copyContent(in, out) && ::fchmod(out, status.st_mode & 07777) == 0;
    ::close(in);
    if (::close(out) != 0)
        copied = false;
    if (!copied)
        ::unlink(destination.constData());
    return copied;
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollbackList,
                                                     const QString &source,
                                                     const QString &destination,
                                                     QObject *parent, double share)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(source, destination),
                              rollbackList, source, destination, parent, share)
{
}

ASyncFunc *FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(m_source, m_destination);
}
