#ifndef PUTINPLACETASKSPECIFICATION_H
#define PUTINPLACETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Puts a staged, verified new copy in place of an installed file. The installed file is set
// aside under setAsidePath (empty when there is none) as a second hard link, and the staged
// copy is renamed over it in one step, so the file at its name is never missing or partial,
// even if the process is killed in between. Where the file system has no hard links, the file
// is renamed aside first and is missing only between the two renames.
//
// Journal: the set-aside as a rename path -> setAsidePath, then the rename staged -> path, so
// that undoing both, newest first, puts the installed file back.
class PutInPlaceTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    PutInPlaceTaskSpecification(const QString &stagedPath, const QString &path, const QString &setAsidePath,
                                bool executable, RollbackDataList *rollbackList, QObject *parent, double share);

protected:
    bool doOp() override;

private:
    bool renameFailed(const QString &from, const QString &to);

    QString m_stagedPath;
    QString m_setAsidePath;
    bool m_executable;
};

#endif
