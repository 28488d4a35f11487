#ifndef FILEUNZIPTASKSPECIFICATION_H
#define FILEUNZIPTASKSPECIFICATION_H

#include "slowfileoptaskspecification.h"

// Decompresses a gzip file (a file that is not compressed comes out as a
// copy of itself). A failure leaves no output file behind.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnzipFunc(const QString &source, const QString &destination);
    bool run() override;

    // Streams gzipFile into outputFile through a fixed 16384-byte buffer.
    // Truncated or corrupt data fails and removes the partial output.
    bool unzipFile(const QString &outputFile, const QString &gzipFile);
};

class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnzipTaskSpecification(RollbackDataList *rollbackList, const QString &source,
                               const QString &destination, QObject *parent, double share);

    ASyncFunc *createFunction() override;
};

#endif
