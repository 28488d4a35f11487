#include "scriptedtask.h"

#include <QSignalSpy>
#include <QtTest>

// Records every signal of a task in emission order as readable strings.
static void recordSignals(TaskSpecification *task, QStringList *events)
{
    QObject::connect(task, &TaskSpecification::updateProgress, task,
                     [events](qreal v) { events->append(QStringLiteral("progress %1").arg(v)); });
    QObject::connect(task, &TaskSpecification::finished, task, [events, task](TaskSpecification *t) {
        events->append(t == task ? QStringLiteral("finished self") : QStringLiteral("finished other"));
    });
    QObject::connect(task, &TaskSpecification::canceled, task, [events, task](TaskSpecification *t) {
        events->append(t == task ? QStringLiteral("canceled self") : QStringLiteral("canceled other"));
    });
}

class tst_TaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void endings_data();
    void endings();
    void progressIsScaledNotClamped_data();
    void progressIsScaledNotClamped();
    void resetRearms();
    void otherTaskCancelledReachesOnlyRunningSiblings_data();
    void otherTaskCancelledReachesOnlyRunningSiblings();
    void userCancelRequestAloneChangesNothing();
    void baseTimeTickOverwritesCounters();
};

void tst_TaskSpecification::endings_data()
{
    QTest::addColumn<int>("ending");
    QTest::addColumn<QStringList>("expectedSignals");
    QTest::addColumn<int>("expectedState");
    QTest::addColumn<double>("expectedProgress");

    // Reported 0.4 of its own work before ending; the share is 0.25.
    QTest::newRow("finish reports the full share, then finished")
        << int(ScriptedTask::Finish) << QStringList{"progress 0.25", "finished self"}
        << int(TaskSpecification::TaskFinished) << 0.25;
    QTest::newRow("error cancel keeps the progress")
        << int(ScriptedTask::ErrorCancel) << QStringList{"canceled self"}
        << int(TaskSpecification::TaskErrorCanceled) << 0.1;
    QTest::newRow("user cancel keeps the progress")
        << int(ScriptedTask::UserCancel) << QStringList{"canceled self"}
        << int(TaskSpecification::TaskUserCanceled) << 0.1;
}

void tst_TaskSpecification::endings()
{
    QFETCH(int, ending);
    QFETCH(QStringList, expectedSignals);
    QFETCH(int, expectedState);
    QFETCH(double, expectedProgress);

    ScriptedTask task(QStringLiteral("t"), nullptr, nullptr, 0.25);
    task.execute();
    task.setProgress(0.4);
    QStringList events;
    recordSignals(&task, &events);

    task.end(ScriptedTask::Ending(ending));

    QCOMPARE(events, expectedSignals);
    QCOMPARE(int(task.state()), expectedState);
    QCOMPARE(task.progress(), expectedProgress);
}

void tst_TaskSpecification::progressIsScaledNotClamped_data()
{
    QTest::addColumn<double>("share");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<double>("expected");

    QTest::newRow("half of 0.4") << 0.4 << 0.5 << 0.2;
    QTest::newRow("no clamping above 1") << 0.5 << 2.0 << 1.0;
    QTest::newRow("no clamping below 0") << 0.5 << -1.0 << -0.5;
    QTest::newRow("root share") << 1.0 << 0.35 << 0.35;
}

void tst_TaskSpecification::progressIsScaledNotClamped()
{
    QFETCH(double, share);
    QFETCH(double, fraction);
    QFETCH(double, expected);

    ScriptedTask task(QStringLiteral("t"), nullptr, nullptr, share);
    QSignalSpy spy(&task, &TaskSpecification::updateProgress);
    task.setProgress(fraction);
    task.setProgress(fraction); // an unchanged value is emitted again
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toDouble(), expected);
    QCOMPARE(task.progress(), expected);
}

void tst_TaskSpecification::resetRearms()
{
    ScriptedTask task(QStringLiteral("t"), nullptr, nullptr, 0.5);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    // Already at 0: the reset still reports it.
    task.reset();
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.0);

    task.execute();
    task.userCanceled();
    task.end(ScriptedTask::Finish);
    QCOMPARE(task.progress(), 0.5);

    progress.clear();
    task.reset();
    QCOMPARE(task.state(), TaskSpecification::TaskIdle);
    QVERIFY(!task.isUserCanceled());
    QCOMPARE(task.progress(), 0.0);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.0);
}

// A sibling notice is wired from a composed parent's otherTaskCancelled signal;
// the sender here stands in for that parent.
void tst_TaskSpecification::otherTaskCancelledReachesOnlyRunningSiblings_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("aboutItself");
    QTest::addColumn<bool>("handled");

    QTest::newRow("running, about a sibling") << int(TaskSpecification::TaskRunning) << false << true;
    QTest::newRow("running, about itself") << int(TaskSpecification::TaskRunning) << true << false;
    QTest::newRow("idle") << int(TaskSpecification::TaskIdle) << false << false;
    QTest::newRow("finished") << int(TaskSpecification::TaskFinished) << false << false;
    QTest::newRow("error canceled") << int(TaskSpecification::TaskErrorCanceled) << false << false;
    QTest::newRow("user canceled") << int(TaskSpecification::TaskUserCanceled) << false << false;
}

void tst_TaskSpecification::otherTaskCancelledReachesOnlyRunningSiblings()
{
    QFETCH(int, state);
    QFETCH(bool, aboutItself);
    QFETCH(bool, handled);

    QStringList log;
    ScriptedTask sender(QStringLiteral("parent"), nullptr, nullptr);
    ScriptedTask task(QStringLiteral("t"), &log, nullptr);
    ScriptedTask sibling(QStringLiteral("s"), nullptr, nullptr);
    task.forceState(TaskSpecification::TaskState(state));
    QVERIFY(QObject::connect(&sender, SIGNAL(otherTaskCancelled(TaskSpecification*)), &task,
                             SLOT(onOtherTaskCancelled(TaskSpecification*))));

    emit sender.otherTaskCancelled(aboutItself ? &task : &sibling);

    QCOMPARE(log, handled ? QStringList{"t:notice"} : QStringList());
}

void tst_TaskSpecification::userCancelRequestAloneChangesNothing()
{
    // A task that keeps the base behaviour runs on to its own end.
    class PlainTask : public TaskSpecification
    {
    public:
        PlainTask() : TaskSpecification(nullptr, 1.0) {}
        void execute() override { m_state = TaskRunning; }
    } task;
    task.execute();
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    task.userCanceled();

    QVERIFY(task.isUserCanceled());
    QCOMPARE(task.state(), TaskSpecification::TaskRunning);
    QCOMPARE(finished.count() + canceled.count() + progress.count(), 0);
}

void tst_TaskSpecification::baseTimeTickOverwritesCounters()
{
    class PlainTask : public TaskSpecification
    {
    public:
        PlainTask() : TaskSpecification(nullptr, 1.0) {}
        void execute() override { m_state = TaskRunning; }
    } task;
    quint64 done = 7, total = 8, speed = 9;
    bool downloading = true;
    task.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(0));
    QCOMPARE(total, quint64(0));
    QCOMPARE(speed, quint64(0));
    QVERIFY(!downloading);
}

QTEST_GUILESS_MAIN(tst_TaskSpecification)
#include "tst_taskspecification.moc"
