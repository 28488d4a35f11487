#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Renames sourcePath to path; never overwrites an existing file.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString &sourcePath, const QString &path,
                                RollbackDataList *rollbackList, QObject *parent, double share);

protected:
    bool doOp() override;

private:
    QString m_sourcePath;
};

#endif
