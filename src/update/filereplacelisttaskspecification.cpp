#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"

#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <utility>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<FileReplaceSpecification> *replaces,
                                                                   QList<QString> *deletes,
                                                                   Configuration *configuration, QObject *parent,
                                                                   double weight)
    : ComposedTaskSpecification(2, weight, parent)
    , m_replaces(replaces)
    , m_deletes(deletes)
    , m_configuration(configuration)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubTasks();
    // Cleared so that the task, executed again, can end again.
    m_cancelPropagated = false;
    m_doneReported = false;
    m_journal.rollback(this);
    TaskSpecification::reset();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    makeFileReplaceTasks(makeSubdirTasks() > 0);
    m_state = TaskRunning;
    executeSubTasks();
}

int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification &file : std::as_const(*m_replaces)) {
        const QString dir = QFileInfo(root + file.pureDestFilePath()).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing.append(dir);
    }
    // Character order puts a parent before its sub-directories.
    missing.sort(Qt::CaseSensitive);
    for (const QString &dir : std::as_const(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &m_journal, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool withDirs)
{
    if (m_replaces->isEmpty())
        return;
    const double weight = (withDirs ? 0.9 : 1.0) / m_replaces->size();
    for (FileReplaceSpecification &file : *m_replaces)
        addSubTask(new FileReplaceTaskSpecification(file, m_deletes, &m_journal, m_configuration, this, weight));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != TaskFinished) {
        emit message(QStringLiteral("rolling back file updates"));
        m_journal.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}
