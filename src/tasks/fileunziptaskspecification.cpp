#include "fileunziptaskspecification.h"

#include <QFile>

#include <zlib.h>

FileUnzipFunc::FileUnzipFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileUnzipFunc::run()
{
    return unzipFile(m_destination, m_source);
}

bool FileUnzipFunc::unzipFile(const QString &outputFile, const QString &gzipFile)
{
    // The source is opened first so that a missing or unreadable gzip file
    // never truncates or deletes whatever sits at the destination.
    // File names go to zlib in the local 8-bit file-name encoding, not as ASCII.
    gzFile in = gzopen(QFile::encodeName(gzipFile).constData(), "rb");
    if (!in)
        return false;

    QFile out(outputFile);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        gzclose(in);
        return false;
    }

    gzrewind(in);
    char buffer[16384];
    for (;;) {
        const int count = gzread(in, buffer, sizeof buffer);
        if (count == 0)
            break;
        if (count < 0 || out.write(buffer, count) != count) {
            gzclose(in);
            out.close();
            out.remove();
            return false;
        }
    }

    // gzread ends a gzip stream cut short with 0 like a proper end; only the
    // close tells the two apart (Z_BUF_ERROR), so check it before reporting
    // success. A failed flush of the output counts as well.
    const int closed = gzclose(in);
    const bool flushed = out.flush();
    out.close();
    if (closed != Z_OK || !flushed || out.error() != QFileDevice::NoError) {
        out.remove();
        return false;
    }
    return true;
}

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList *rollbackList,
                                                       const QString &source,
                                                       const QString &destination,
                                                       QObject *parent, double share)
    : SlowFileOpSpecification(
          QStringLiteral("Could not unzip '%1' to '%2'").arg(source, destination), rollbackList,
          source, destination, parent, share)
{
}

ASyncFunc *FileUnzipTaskSpecification::createFunction()
{
    return new FileUnzipFunc(m_source, m_destination);
}
