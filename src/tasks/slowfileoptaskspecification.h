#ifndef SLOWFILEOPTASKSPECIFICATION_H
#define SLOWFILEOPTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "rollback.h"

// Worker of a file operation that runs on the thread pool. Holds its own
// copies of the two paths.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString &source, const QString &destination);

protected:
    QString m_source;
    QString m_destination;
};

// A file operation that creates its destination on the thread pool. On
// success the created file is journaled (in the GUI thread); on failure the
// ready-made failure line goes to the log.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // rollbackList may be null: then nothing is journaled.
    SlowFileOpSpecification(QString failMessage, RollbackDataList *rollbackList,
                            const QString &source, const QString &destination, QObject *parent,
                            double share);

    const QString &source() const { return m_source; }
    const QString &destination() const { return m_destination; }

    // Logs or journals even when a reset came in between; only the ending
    // depends on the task still running.
    void runDone(bool ok) override;

protected:
    RollbackDataList *m_rollbackList;
    QString m_source;
    QString m_destination;
    QString m_failMessage;
};

#endif
