#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"

#include <utility>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString> *deletes, QObject *parent,
                                                                 double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_deletes(deletes)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    // Cleared so that the task, executed again, can end again.
    m_cancelPropagated = false;
    m_doneReported = false;
    TaskSpecification::reset();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    const double weight = m_deletes->isEmpty() ? 0.0 : 1.0 / m_deletes->size();
    for (const QString &path : std::as_const(*m_deletes))
        addSubTask(new FileDeleteTaskSpecification(false, root + path, this, weight));
    m_state = TaskRunning;
    executeSubTasks();
}
