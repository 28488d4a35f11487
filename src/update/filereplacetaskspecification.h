#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "rollback.h"

#include <QStringList>

class Configuration;

// Installs one file: copies (or unpacks and verifies) the new one beside it under its "_new_"
// name, then puts it in place with the installed copy set aside under its "_old_" name, and on
// success hands its undo records to the stage journal.
// A failure undoes this file's own steps before the task ends.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceTaskSpecification(FileReplaceSpecification &file, QList<QString> *deletes,
                                 RollbackDataList *stageJournal, Configuration *configuration, QObject *parent,
                                 double weight);

    void execute() override;
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();
    // Mode 0777 for the listed program names and library suffixes; other files keep theirs.
    static void makeSingleFileExecutable(const QString &path);
    // True for the files makeSingleFileExecutable opens to everyone.
    static bool isExecutableFile(const QString &path);

    static const QStringList executableFiles;
    static const QStringList executableSuffixes;

private:
    QString destination() const;

    FileReplaceSpecification m_file;
    QList<QString> *m_deletes;
    RollbackDataList *m_stageJournal;
    RollbackDataList m_journal;
    bool m_replaced = false;
    Configuration *m_configuration;
};

#endif
