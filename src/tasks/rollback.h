#ifndef ROLLBACK_H
#define ROLLBACK_H

#include <QList>
#include <QString>

class QObject;

// One undoable change to the disk.
class RollbackData
{
public:
    enum Operation {
        Rename = 0,     // path was renamed from oldPath; undo renames it back
        CreateFile = 1, // a file was created at path; undo deletes it
        CreateDir = 2   // a directory was created at path; undo removes it if empty
    };

    // For Rename: the file went from `from` to `to`.
    RollbackData(Operation operation, const QString &from, const QString &to);
    // For CreateFile and CreateDir.
    RollbackData(Operation operation, const QString &path);

    // Undoes the change. On failure sends one warning line to target and
    // returns false.
    bool rollback(QObject *target) const;
    // Invokes the method "message(QString)" of target (a task's log signal);
    // nothing happens for a null target.
    static void message(QObject *target, const QString &text);

    QString path;
    QString oldPath;
    Operation operation;
};

// The undo journal: records in the order the changes were made. Replaying
// undoes them newest first and empties the journal.
class RollbackDataList
{
public:
    RollbackDataList() = default;

    void add(const RollbackData &data);
    void appendList(const RollbackDataList &other);
    // Forgets the records without undoing anything.
    void clear();
    // Undoes every record, last in first out, and goes on past failures.
    // True if every undo step succeeded.
    bool rollback(QObject *target);

    QList<RollbackData> records;
};

#endif
