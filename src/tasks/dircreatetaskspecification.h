#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Creates a directory with its missing parents, journaling one CreateDir
// record per level it created (top-down, so a replay removes them bottom-up).
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString &path, RollbackDataList *rollbackList,
                               QObject *parent, double share);

    bool tryCreateDir(const QString &dir);

protected:
    bool doOp() override;
};

#endif
