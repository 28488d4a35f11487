#include "composedtaskspecification.h"
#include "scriptedtask.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// A composed task whose children are scripted leaves. The parent logs its own
// end into the children's log so a test sees the whole order of events.
class TestComposed : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    TestComposed(int limit, QStringList *log, const QString &name = QStringLiteral("parent"),
                 double share = 1.0)
        : ComposedTaskSpecification(limit, share, nullptr)
        , m_log(log)
    {
        connect(this, &TaskSpecification::finished, this,
                [this, name] { m_log->append(name + QStringLiteral(":finished")); });
        connect(this, &TaskSpecification::canceled, this,
                [this, name] { m_log->append(name + QStringLiteral(":canceled")); });
    }

    QList<ScriptedTask *> addChildren(int count, const QString &prefix = QString())
    {
        QList<ScriptedTask *> added;
        for (int i = 1; i <= count; ++i) {
            auto *child = new ScriptedTask(prefix + QString::number(i), m_log, this, 1.0 / count);
            addSubTask(child);
            added.append(child);
        }
        return added;
    }

    void execute() override { executeSubTasks(); }

    // What the system's subclasses do to repeat a run in place.
    QList<ScriptedTask *> retryInPlace(int count)
    {
        clearSubTasks();
        TaskSpecification::reset();
        QList<ScriptedTask *> added = addChildren(count, QStringLiteral("r"));
        executeSubTasks();
        return added;
    }

    void setCancelPropagated(bool on) { m_cancelPropagated = on; }

private:
    QStringList *m_log;
};

// Lets every queued start and deferred delete that is due be delivered.
void spin()
{
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TaskSpecification::TaskState stateFromLetter(QChar c)
{
    switch (c.toLatin1()) {
    case 'I': return TaskSpecification::TaskIdle;
    case 'R': return TaskSpecification::TaskRunning;
    case 'F': return TaskSpecification::TaskFinished;
    case 'E': return TaskSpecification::TaskErrorCanceled;
    default: return TaskSpecification::TaskUserCanceled;
    }
}

} // namespace

class tst_ComposedTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void outcomeRule_data();
    void outcomeRule();
    void withoutChildrenFinishesInsideExecute();
    void startsAreQueuedAndLimited();
    void childNeverStartsInsideItsPredecessorsEnd();
    void failedChildEndsParentInsideItsCancelSignal();
    void cancelNoticeOncePerRun();
    void cancelNoticeReachesGrandchildren();
    void userCancel_data();
    void userCancel();
    void noDoubleEndWhenQueuedStartArrivesLate_data();
    void noDoubleEndWhenQueuedStartArrivesLate();
    void limitBelowOne_data();
    void limitBelowOne();
    void progressSums();
    void timeTickSums();
    void forwardsMessagesAndErrors();
    void retryInPlace();
    void resetRerunsTheSameChildren();
};

void tst_ComposedTaskSpecification::outcomeRule_data()
{
    QTest::addColumn<QString>("childStates"); // one letter per child: I R F E U
    QTest::addColumn<bool>("userRequested");
    QTest::addColumn<bool>("cancelPropagated");
    QTest::addColumn<int>("expected");

    const int finished = TaskSpecification::TaskFinished;
    const int error = TaskSpecification::TaskErrorCanceled;
    const int user = TaskSpecification::TaskUserCanceled;
    const int running = TaskSpecification::TaskRunning;

    QTest::newRow("no children") << "" << false << false << finished;
    QTest::newRow("all finished") << "FFF" << false << false << finished;
    QTest::newRow("all finished despite a user request") << "FF" << true << false << finished;
    QTest::newRow("error") << "FEI" << false << true << error;
    QTest::newRow("user cancel") << "FUI" << false << true << user;
    QTest::newRow("error after user cancel") << "UE" << false << true << error;
    QTest::newRow("user cancel after error") << "EU" << false << true << error;
    QTest::newRow("error outweighs the user's request") << "FE" << true << true << error;
    QTest::newRow("unstarted after a user request") << "FII" << true << false << user;
    QTest::newRow("unstarted after a cancel") << "FII" << false << true << error;
    QTest::newRow("unstarted without any cancel") << "FII" << false << false << running;
}

void tst_ComposedTaskSpecification::outcomeRule()
{
    QFETCH(QString, childStates);
    QFETCH(bool, userRequested);
    QFETCH(bool, cancelPropagated);
    QFETCH(int, expected);

    QStringList log;
    TestComposed parent(1, &log);
    const QList<ScriptedTask *> children = parent.addChildren(childStates.size());
    for (int i = 0; i < children.size(); ++i)
        children[i]->forceState(stateFromLetter(childStates.at(i)));
    if (userRequested)
        parent.userCanceled(); // idle: only sets the flag
    parent.setCancelPropagated(cancelPropagated);

    QCOMPARE(int(parent.getStateFromSubTasks()), expected);
}

void tst_ComposedTaskSpecification::withoutChildrenFinishesInsideExecute()
{
    QStringList log;
    TestComposed parent(3, &log, QStringLiteral("parent"), 0.3);
    QStringList events;
    connect(&parent, &TaskSpecification::updateProgress, this,
            [&events](qreal v) { events << QStringLiteral("progress %1").arg(v); });
    connect(&parent, &TaskSpecification::finished, this, [&events] { events << "finished"; });

    parent.execute();

    QCOMPARE(events, (QStringList{"progress 0.3", "finished"}));
    QCOMPARE(parent.state(), TaskSpecification::TaskFinished);
    spin();
    QCOMPARE(log, QStringList{"parent:finished"});
}

void tst_ComposedTaskSpecification::startsAreQueuedAndLimited()
{
    QStringList log;
    TestComposed parent(2, &log);
    const QList<ScriptedTask *> c = parent.addChildren(5);

    parent.execute();
    QCOMPARE(parent.state(), TaskSpecification::TaskRunning);
    QVERIFY2(log.isEmpty(), "no child may start inside executeSubTasks()");

    spin();
    QCOMPARE(log, (QStringList{"1:start", "2:start"}));

    c[0]->end(ScriptedTask::Finish);
    QCOMPARE(log, (QStringList{"1:start", "2:start"}));
    spin();
    QCOMPARE(log, (QStringList{"1:start", "2:start", "3:start"}));

    c[2]->end(ScriptedTask::Finish);
    spin();
    c[1]->end(ScriptedTask::Finish);
    spin();
    c[3]->end(ScriptedTask::Finish);
    c[4]->end(ScriptedTask::Finish);
    QVERIFY2(!log.contains("parent:finished"), "the parent ends on a later turn than its last child");
    spin();
    QCOMPARE(log, (QStringList{"1:start", "2:start", "3:start", "4:start", "5:start",
                               "parent:finished"}));
    QCOMPARE(parent.state(), TaskSpecification::TaskFinished);
}

void tst_ComposedTaskSpecification::childNeverStartsInsideItsPredecessorsEnd()
{
    QStringList log;
    TestComposed parent(1, &log);
    const QList<ScriptedTask *> c = parent.addChildren(3);
    for (ScriptedTask *child : c)
        child->endOnExecute = ScriptedTask::Finish;
    QStringList seenAtEnd;
    for (ScriptedTask *child : c) {
        connect(child, &TaskSpecification::finished, this,
                [&] { seenAtEnd << log.join(QLatin1Char(' ')); });
    }

    parent.execute();
    QVERIFY(log.isEmpty());
    spin();

    QCOMPARE(seenAtEnd, (QStringList{"1:start", "1:start 2:start", "1:start 2:start 3:start"}));
    QCOMPARE(log.last(), QStringLiteral("parent:finished"));
}

void tst_ComposedTaskSpecification::failedChildEndsParentInsideItsCancelSignal()
{
    QStringList log;
    TestComposed parent(1, &log);
    const QList<ScriptedTask *> c = parent.addChildren(5);
    bool insideChildCancel = false;
    bool endedInside = false;
    connect(&parent, &TaskSpecification::canceled, this, [&] { endedInside = insideChildCancel; });
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);

    parent.execute();
    spin();
    c[0]->end(ScriptedTask::Finish);
    spin();
    QCOMPARE(log, (QStringList{"1:start", "2:start"}));

    insideChildCancel = true;
    c[1]->end(ScriptedTask::ErrorCancel);
    insideChildCancel = false;

    QVERIFY(endedInside);
    QCOMPARE(parent.state(), TaskSpecification::TaskErrorCanceled);
    spin();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(log, (QStringList{"1:start", "2:start", "parent:canceled"}));
    for (int i = 2; i < 5; ++i)
        QCOMPARE(c[i]->state(), TaskSpecification::TaskIdle);
}

void tst_ComposedTaskSpecification::cancelNoticeOncePerRun()
{
    QStringList log;
    TestComposed parent(3, &log);
    const QList<ScriptedTask *> c = parent.addChildren(3);
    QSignalSpy notices(&parent, &TaskSpecification::otherTaskCancelled);

    parent.execute();
    spin();
    c[0]->end(ScriptedTask::ErrorCancel);
    c[1]->end(ScriptedTask::ErrorCancel);
    QCOMPARE(parent.state(), TaskSpecification::TaskRunning);
    c[2]->end(ScriptedTask::UserCancel);

    QCOMPARE(notices.count(), 1);
    QCOMPARE(notices.at(0).at(0).value<TaskSpecification *>(), c[0]);
    QCOMPARE(log, (QStringList{"1:start", "2:start", "3:start", "2:notice", "3:notice",
                               "parent:canceled"}));
    QCOMPARE(parent.state(), TaskSpecification::TaskErrorCanceled);
}

void tst_ComposedTaskSpecification::cancelNoticeReachesGrandchildren()
{
    QStringList log;
    TestComposed outer(2, &log, QStringLiteral("outer"));
    auto *inner = new TestComposed(1, &log, QStringLiteral("inner"));
    inner->setParent(&outer);
    const QList<ScriptedTask *> grandchildren = inner->addChildren(1, QStringLiteral("x"));
    grandchildren[0]->abortsOnNotice = true;
    outer.addSubTask(inner);
    auto *sibling = new ScriptedTask(QStringLiteral("s"), &log, &outer);
    outer.addSubTask(sibling);

    outer.execute();
    spin();
    // The inner task's own start is queued behind the outer task's second one.
    QCOMPARE(log, (QStringList{"s:start", "x1:start"}));

    sibling->end(ScriptedTask::ErrorCancel);

    QCOMPARE(log, (QStringList{"s:start", "x1:start", "x1:notice", "inner:canceled",
                               "outer:canceled"}));
    QCOMPARE(outer.state(), TaskSpecification::TaskErrorCanceled);
}

void tst_ComposedTaskSpecification::userCancel_data()
{
    QTest::addColumn<bool>("stopsOnUserCancel");
    QTest::addColumn<bool>("abortsOnNotice");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::addColumn<int>("expectedState");

    // Two of three children run when the user cancels.
    QTest::newRow("transfers: the notice beats the second request")
        << true << true
        << QStringList{"1:start", "2:start", "1:cancelrequest", "2:notice", "parent:canceled",
                       "2:cancelrequest", "3:cancelrequest"}
        << int(TaskSpecification::TaskErrorCanceled);
    QTest::newRow("children that stop on request")
        << true << false
        << QStringList{"1:start", "2:start", "1:cancelrequest", "2:notice", "2:cancelrequest",
                       "parent:canceled", "3:cancelrequest"}
        << int(TaskSpecification::TaskUserCanceled);
    QTest::newRow("children that run on to their end")
        << false << false
        << QStringList{"1:start", "2:start", "1:cancelrequest", "2:cancelrequest",
                       "3:cancelrequest", "parent:canceled"}
        << int(TaskSpecification::TaskUserCanceled);
}

void tst_ComposedTaskSpecification::userCancel()
{
    QFETCH(bool, stopsOnUserCancel);
    QFETCH(bool, abortsOnNotice);
    QFETCH(QStringList, expectedLog);
    QFETCH(int, expectedState);

    QStringList log;
    TestComposed parent(2, &log);
    const QList<ScriptedTask *> c = parent.addChildren(3);
    for (ScriptedTask *child : c) {
        child->stopsOnUserCancel = stopsOnUserCancel;
        child->abortsOnNotice = abortsOnNotice;
    }
    QSignalSpy ends(&parent, &TaskSpecification::canceled);

    parent.execute();
    spin();
    parent.userCanceled();
    for (ScriptedTask *child : c) {
        if (child->state() == TaskSpecification::TaskRunning)
            child->end(ScriptedTask::Finish);
    }
    spin();

    QCOMPARE(log, expectedLog);
    QCOMPARE(int(parent.state()), expectedState);
    QCOMPARE(ends.count(), 1);
    QCOMPARE(c[2]->state(), TaskSpecification::TaskIdle);
}

void tst_ComposedTaskSpecification::noDoubleEndWhenQueuedStartArrivesLate_data()
{
    QTest::addColumn<int>("secondEnding");
    QTest::addColumn<int>("finishedCount");
    QTest::addColumn<int>("canceledCount");

    QTest::newRow("both finish before the starts arrive") << int(ScriptedTask::Finish) << 1 << 0;
    QTest::newRow("sibling fails before the start arrives") << int(ScriptedTask::ErrorCancel) << 0 << 1;
    QTest::newRow("sibling stops before the start arrives") << int(ScriptedTask::UserCancel) << 0 << 1;
}

void tst_ComposedTaskSpecification::noDoubleEndWhenQueuedStartArrivesLate()
{
    QFETCH(int, secondEnding);
    QFETCH(int, finishedCount);
    QFETCH(int, canceledCount);

    QStringList log;
    TestComposed parent(2, &log);
    const QList<ScriptedTask *> c = parent.addChildren(2);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);

    parent.execute();
    spin();
    c[0]->end(ScriptedTask::Finish); // posts a start that arrives after the sibling's end
    c[1]->end(ScriptedTask::Ending(secondEnding));
    spin();

    QCOMPARE(finished.count(), finishedCount);
    QCOMPARE(canceled.count(), canceledCount);
}

void tst_ComposedTaskSpecification::limitBelowOne_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("children");
    QTest::addColumn<int>("expectedState");

    QTest::newRow("zero with children") << 0 << 2 << int(TaskSpecification::TaskErrorCanceled);
    QTest::newRow("negative with children") << -1 << 2 << int(TaskSpecification::TaskErrorCanceled);
    QTest::newRow("zero without children") << 0 << 0 << int(TaskSpecification::TaskFinished);
}

void tst_ComposedTaskSpecification::limitBelowOne()
{
    QFETCH(int, limit);
    QFETCH(int, children);
    QFETCH(int, expectedState);

    QStringList log;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("starts no child"));
    TestComposed parent(limit, &log);
    parent.addChildren(children);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);

    parent.execute(); // must end right here, never hang

    QCOMPARE(int(parent.state()), expectedState);
    spin();
    QCOMPARE(finished.count() + canceled.count(), 1);
    QVERIFY(!log.join(' ').contains(":start"));
}

void tst_ComposedTaskSpecification::progressSums()
{
    QStringList log;
    TestComposed parent(3, &log, QStringLiteral("parent"), 0.5);
    QSignalSpy progress(&parent, &TaskSpecification::updateProgress);
    auto *a = new ScriptedTask("a", &log, &parent, 0.2);
    a->setProgress(1.0); // already advanced when added: counted at once
    parent.addSubTask(a);
    QCOMPARE(progress.last().at(0).toDouble(), 0.1);
    auto *b = new ScriptedTask("b", &log, &parent, 0.3);
    auto *c = new ScriptedTask("c", &log, &parent, 0.5);
    parent.addSubTask(b);
    parent.addSubTask(c);
    QCOMPARE(progress.count(), 3);

    parent.execute();
    spin();
    b->setProgress(0.5);
    QCOMPARE(progress.last().at(0).toDouble(), (0.2 + 0.15) * 0.5);
    c->end(ScriptedTask::Finish);
    QCOMPARE(progress.last().at(0).toDouble(), (0.2 + 0.15 + 0.5) * 0.5);
    b->end(ScriptedTask::ErrorCancel); // a failure does not take progress back
    QCOMPARE(parent.progress(), (0.2 + 0.15 + 0.5) * 0.5);
}

void tst_ComposedTaskSpecification::timeTickSums()
{
    QStringList log;
    TestComposed parent(1, &log);
    const QList<ScriptedTask *> c = parent.addChildren(3);
    c[0]->tickDone = 100;
    c[0]->tickTotal = 1000;
    c[0]->tickSpeed = 10;
    c[0]->tickDownloading = true;
    c[1]->tickDone = 50; // size not known yet: only its speed counts
    c[1]->tickSpeed = 500;
    c[2]->tickDone = 7;
    c[2]->tickTotal = 70;

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    parent.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(107));
    QCOMPARE(total, quint64(1070));
    QCOMPARE(speed, quint64(510));
    QVERIFY(downloading);

    // The out-values are added to; only the flag starts over.
    c[0]->tickDownloading = false;
    done = 1;
    total = 2;
    speed = 3;
    downloading = true;
    parent.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(108));
    QCOMPARE(total, quint64(1072));
    QCOMPARE(speed, quint64(513));
    QVERIFY(!downloading);
}

void tst_ComposedTaskSpecification::forwardsMessagesAndErrors()
{
    QStringList log;
    TestComposed outer(1, &log, QStringLiteral("outer"));
    auto *inner = new TestComposed(1, &log, QStringLiteral("inner"));
    inner->setParent(&outer);
    const QList<ScriptedTask *> leaf = inner->addChildren(1);
    outer.addSubTask(inner);
    QSignalSpy messages(&outer, &TaskSpecification::message);
    QSignalSpy errors(&outer, &TaskSpecification::error);

    emit leaf[0]->message(QStringLiteral("line"));
    emit leaf[0]->error(QStringLiteral("attention"));

    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("line"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("attention"));
}

void tst_ComposedTaskSpecification::retryInPlace()
{
    QStringList log;
    TestComposed parent(1, &log);
    const QList<ScriptedTask *> old = parent.addChildren(2);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    QSignalSpy progress(&parent, &TaskSpecification::updateProgress);
    QSignalSpy oldDestroyed(old[1], &QObject::destroyed);

    parent.execute();
    spin();
    old[0]->end(ScriptedTask::Finish);
    spin();
    QVERIFY(parent.progress() > 0.0);

    progress.clear();
    const QList<ScriptedTask *> fresh = parent.retryInPlace(2);
    QCOMPARE(progress.first().at(0).toDouble(), 0.0);
    QCOMPARE(parent.state(), TaskSpecification::TaskRunning);

    old[1]->end(ScriptedTask::ErrorCancel); // disconnected: no longer reaches the parent
    QCOMPARE(parent.state(), TaskSpecification::TaskRunning);
    spin();
    QCOMPARE(oldDestroyed.count(), 1);

    fresh[0]->end(ScriptedTask::Finish);
    spin();
    fresh[1]->end(ScriptedTask::Finish);
    spin();
    QCOMPARE(log, (QStringList{"1:start", "2:start", "r1:start", "r2:start", "parent:finished"}));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(parent.progress(), 1.0);
}

void tst_ComposedTaskSpecification::resetRerunsTheSameChildren()
{
    QStringList log;
    TestComposed parent(1, &log);
    const QList<ScriptedTask *> c = parent.addChildren(2);
    parent.execute();
    spin();
    c[0]->end(ScriptedTask::ErrorCancel);
    QCOMPARE(parent.state(), TaskSpecification::TaskErrorCanceled);

    parent.reset();
    QCOMPARE(parent.state(), TaskSpecification::TaskIdle);
    QCOMPARE(c[0]->state(), TaskSpecification::TaskIdle);
    QCOMPARE(parent.progress(), 0.0);

    log.clear();
    parent.execute();
    spin();
    c[0]->end(ScriptedTask::Finish);
    spin();
    c[1]->end(ScriptedTask::Finish);
    spin();
    QCOMPARE(log, (QStringList{"1:start", "2:start", "parent:finished"}));
}

QTEST_GUILESS_MAIN(tst_ComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
