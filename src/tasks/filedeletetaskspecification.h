#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes a file. Never journaled: a delete cannot be undone. With
// reportFailure false a failed delete still counts as success.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool reportFailure, const QString &path, QObject *parent,
                                double share);

protected:
    bool doOp() override;

private:
    bool m_reportFailure;
};

#endif
