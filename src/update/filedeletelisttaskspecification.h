#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"

#include <QList>
#include <QString>

// Stage 5 of a run: deletes the obsolete files and the set-aside copies, relative to the
// installation directory. A file that cannot be removed is skipped; the stage always finishes.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(QList<QString> *deletes, QObject *parent, double weight);

    void execute() override;
    void reset() override;

    // Reads the delete list as it stands when the stage starts.
    void makeSubtasksAndStart();

private:
    QList<QString> *m_deletes;
};

#endif
