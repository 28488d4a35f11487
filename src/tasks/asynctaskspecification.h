#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QRunnable>

// Worker side of a background task. Created in the GUI thread with copies of
// everything it needs; run() executes in a thread of the global pool and may
// emit message() and progress() from there.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc();

    // True on success. Runs in a pool thread: touch only the worker's own data.
    virtual bool run() = 0;
    // Runs run() and reports its value on runResult().
    void execute();

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // The worker's own fraction, 0..1.
    void progress(qreal progress);
};

// Adapter handed to the thread pool; owns the worker and is deleted by the
// pool after run().
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;
    ASyncRun(const ASyncRun &) = delete;
    ASyncRun &operator=(const ASyncRun &) = delete;

    void run() override;

private:
    ASyncFunc *m_func;
};

// A leaf task whose work runs on QThreadPool::globalInstance(). It ends when
// the worker's result arrives; the worker cannot be stopped once launched, so
// a cancel request only sets the flag.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject *parent, double share);

    // A new worker built from the task's own parameters, for every execute().
    virtual ASyncFunc *createFunction() = 0;
    // Queued connections from the worker to this task.
    virtual void connectDefaultSignals(ASyncFunc *func);
    // Ends the task from the worker's result unless it is no longer running
    // (a reset came in between). Overrides act on the result, then call this.
    virtual void runDone(bool ok);

public slots:
    void execute() override;
    // Blocks until every runnable of the global pool has finished.
    void reset() override;

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
};

#endif
