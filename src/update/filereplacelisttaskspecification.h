#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "rollback.h"

class Configuration;

// Stage 4 of a run: creates the missing directories, then installs every file of the replace
// list, two at a time. Every change goes into one journal, which is replayed when any file
// fails, so a failed stage leaves the installation as it found it.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification> *replaces, QList<QString> *deletes,
                                     Configuration *configuration, QObject *parent, double weight);

    void execute() override;
    // Also takes back whatever a finished stage installed.
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool withDirs);

private:
    QList<FileReplaceSpecification> *m_replaces;
    QList<QString> *m_deletes;
    RollbackDataList m_journal;
    Configuration *m_configuration;
};

#endif
