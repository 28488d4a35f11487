#include "asynctaskspecification.h"

#include <QThreadPool>

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

void ASyncFunc::execute()
{
    emit runResult(run());
}

ASyncRun::ASyncRun(ASyncFunc *func)
    : m_func(func)
{
    // The worker emits from a pool thread and is deleted there; with no thread
    // affinity it belongs to none of them.
    if (m_func)
        m_func->moveToThread(nullptr);
}

ASyncRun::~ASyncRun()
{
    delete m_func;
}

void ASyncRun::run()
{
    if (m_func)
        m_func->execute();
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, double share)
    : TaskSpecification(parent, share)
{
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc *func = createFunction();
    connectDefaultSignals(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // Safe after the hand-over: the result can only arrive through the event loop.
    m_state = TaskRunning;
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc *func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (m_state != TaskRunning)
        return;
    if (ok)
        finish();
    else
        errorCancel();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}
