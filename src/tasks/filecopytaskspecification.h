#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileoptaskspecification.h"

// Copies a file; fails when the destination already exists.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString &source, const QString &destination);
    bool run() override;
};

class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList *rollbackList, const QString &source,
                              const QString &destination, QObject *parent, double share);

    ASyncFunc *createFunction() override;
};

#endif
