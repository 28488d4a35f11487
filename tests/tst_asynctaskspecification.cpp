#include "asynctaskspecification.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

struct WorkerScript
{
    bool result = true;
    QList<qreal> progress;
    QStringList messages;
    QStringList errors;
    QSemaphore *started = nullptr;   // released when run() begins
    int lingerMs = 0;                // keeps running after announcing itself
    std::atomic<bool> *ran = nullptr;        // set when run() returns
    std::atomic<bool> *destroyed = nullptr;  // set by the worker's destructor
    std::atomic<QThread *> *runThread = nullptr;
};

class ScriptedFunc : public ASyncFunc
{
    Q_OBJECT
public:
    explicit ScriptedFunc(const WorkerScript &script) : m_script(script) {}
    ~ScriptedFunc() override
    {
        if (m_script.destroyed)
            *m_script.destroyed = true;
    }

    bool run() override
    {
        if (m_script.runThread)
            *m_script.runThread = QThread::currentThread();
        if (m_script.started)
            m_script.started->release();
        if (m_script.lingerMs)
            QThread::msleep(m_script.lingerMs);
        for (const QString &m : std::as_const(m_script.messages))
            emit message(m);
        for (const QString &e : std::as_const(m_script.errors))
            emit error(e);
        for (qreal p : std::as_const(m_script.progress))
            emit progress(p);
        if (m_script.ran)
            *m_script.ran = true;
        return m_script.result;
    }

private:
    WorkerScript m_script; // a copy: the worker owns its data
};

class ScriptedAsyncTask : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    explicit ScriptedAsyncTask(double share) : ASyncTaskSpecification(nullptr, share) {}
    ASyncFunc *createFunction() override
    {
        ++created;
        return new ScriptedFunc(script);
    }

    WorkerScript script;
    int created = 0;
};

// Records every signal of the task with the thread it arrived on.
struct Recorder
{
    QStringList events;
    QList<QThread *> threads;

    void attach(TaskSpecification *task)
    {
        auto note = [this](const QString &event) {
            events << event;
            threads << QThread::currentThread();
        };
        QObject::connect(task, &TaskSpecification::updateProgress, task,
                         [note](qreal v) { note(QStringLiteral("progress %1").arg(v)); },
                         Qt::DirectConnection);
        QObject::connect(task, &TaskSpecification::message, task,
                         [note](const QString &m) { note(QStringLiteral("message ") + m); },
                         Qt::DirectConnection);
        QObject::connect(task, &TaskSpecification::error, task,
                         [note](const QString &m) { note(QStringLiteral("error ") + m); },
                         Qt::DirectConnection);
        QObject::connect(task, &TaskSpecification::finished, task,
                         [note] { note(QStringLiteral("finished")); }, Qt::DirectConnection);
        QObject::connect(task, &TaskSpecification::canceled, task,
                         [note] { note(QStringLiteral("canceled")); }, Qt::DirectConnection);
    }
};

bool ended(const TaskSpecification &task)
{
    return task.state() == TaskSpecification::TaskFinished
        || task.state() == TaskSpecification::TaskErrorCanceled;
}

} // namespace

class tst_ASyncTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void resultEndsTheTaskOnTheGuiThread_data();
    void resultEndsTheTaskOnTheGuiThread();
    void workerRunsInThePoolAndIsDeletedAfterwards();
    void userCancelDoesNotInterruptTheWorker();
    void resetWaitsForTheWorkerAndIgnoresItsLateResult();
    void eachExecuteRunsAFreshWorker();
};

void tst_ASyncTaskSpecification::resultEndsTheTaskOnTheGuiThread_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<double>("share");
    QTest::addColumn<QList<qreal>>("progress");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("silent success") << true << 0.4 << QList<qreal>() << QStringList()
                                    << QStringList()
                                    << QStringList{"progress 0.4", "finished"};
    QTest::newRow("progress is scaled by the share")
        << true << 0.2 << QList<qreal>{0.5} << QStringList() << QStringList()
        << QStringList{"progress 0.1", "progress 0.2", "finished"};
    QTest::newRow("lines arrive in order before the result")
        << true << 1.0 << QList<qreal>{0.25} << QStringList{"one", "two"} << QStringList{"look"}
        << QStringList{"message one", "message two", "error look", "progress 0.25",
                       "progress 1", "finished"};
    QTest::newRow("failure ends with canceled and keeps progress")
        << false << 0.5 << QList<qreal>{0.5} << QStringList{"why"} << QStringList()
        << QStringList{"message why", "progress 0.25", "canceled"};
}

void tst_ASyncTaskSpecification::resultEndsTheTaskOnTheGuiThread()
{
    QFETCH(bool, result);
    QFETCH(double, share);
    QFETCH(QList<qreal>, progress);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, expected);

    ScriptedAsyncTask task(share);
    task.script.result = result;
    task.script.progress = progress;
    task.script.messages = messages;
    task.script.errors = errors;
    Recorder recorder;
    recorder.attach(&task);

    task.execute();
    QCOMPARE(task.state(), TaskSpecification::TaskRunning);
    QTRY_VERIFY_WITH_TIMEOUT(ended(task), 5000);

    QCOMPARE(recorder.events, expected);
    for (QThread *thread : std::as_const(recorder.threads))
        QCOMPARE(thread, QThread::currentThread());
    QCOMPARE(task.state(), result ? TaskSpecification::TaskFinished
                                  : TaskSpecification::TaskErrorCanceled);
}

void tst_ASyncTaskSpecification::workerRunsInThePoolAndIsDeletedAfterwards()
{
    std::atomic<bool> destroyed{false};
    std::atomic<QThread *> runThread{nullptr};
    ScriptedAsyncTask task(1.0);
    task.script.destroyed = &destroyed;
    task.script.runThread = &runThread;

    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended(task), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(destroyed.load(), 5000);
    QVERIFY(runThread.load() != nullptr);
    QVERIFY(runThread.load() != QThread::currentThread());
}

void tst_ASyncTaskSpecification::userCancelDoesNotInterruptTheWorker()
{
    QSemaphore started;
    std::atomic<bool> ran{false};
    ScriptedAsyncTask task(1.0);
    task.script.started = &started;
    task.script.lingerMs = 50;
    task.script.ran = &ran;
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QVERIFY(started.tryAcquire(1, 5000));
    task.userCanceled();
    QCOMPARE(task.state(), TaskSpecification::TaskRunning);

    QTRY_VERIFY_WITH_TIMEOUT(ended(task), 5000);
    QVERIFY(ran.load());
    QCOMPARE(task.state(), TaskSpecification::TaskFinished);
    QCOMPARE(canceled.count(), 0);
}

void tst_ASyncTaskSpecification::resetWaitsForTheWorkerAndIgnoresItsLateResult()
{
    QSemaphore started;
    std::atomic<bool> ran{false};
    ScriptedAsyncTask task(1.0);
    task.script.started = &started;
    task.script.lingerMs = 100;
    task.script.ran = &ran;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QVERIFY(started.tryAcquire(1, 5000));
    task.reset();
    QVERIFY2(ran.load(), "reset() returned while the worker was still running");
    QCOMPARE(task.state(), TaskSpecification::TaskIdle);

    // The result was queued before the reset; it arrives now and changes nothing.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(task.state(), TaskSpecification::TaskIdle);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 0);
}

void tst_ASyncTaskSpecification::eachExecuteRunsAFreshWorker()
{
    ScriptedAsyncTask task(1.0);
    task.script.result = false;
    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended(task), 5000);
    QCOMPARE(task.state(), TaskSpecification::TaskErrorCanceled);

    task.reset();
    task.script.result = true;
    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended(task), 5000);
    QCOMPARE(task.state(), TaskSpecification::TaskFinished);
    QCOMPARE(task.created, 2);
}

QTEST_GUILESS_MAIN(tst_ASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
