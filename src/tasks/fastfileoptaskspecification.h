#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "rollback.h"
#include "taskspecification.h"

// A file operation quick enough to run inside execute() in the GUI thread.
// The task has ended when execute() returns.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // rollbackList may be null: then nothing is journaled.
    FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollbackList,
                                QObject *parent, double share);

    const QString &path() const { return m_path; }

public slots:
    void execute() override;

protected:
    // Performs the operation; on failure it has written its message line.
    virtual bool doOp() = 0;
    void addRollbackOp(const RollbackData &data);

    RollbackDataList *m_rollbackList;
    QString m_path;
};

#endif
