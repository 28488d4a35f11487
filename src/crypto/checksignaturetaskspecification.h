#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QByteArray>
#include <QString>

// Verifies one file on a pool thread: against an MD5 sum when one is given,
// else against the RSA signature in the file's ".sig" companion, made with the
// private half of the key built into the program (PUBLIC_KEY).
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // Bytes hashed per read; the MD5 check holds no more than this of the file.
    static constexpr qint64 MD5ChunkSize = 1024 * 1024;

    CheckSigFunc(QString const &fileName, QString const &md5);

    // checkMD5() when an expected sum was given, else checkRSA(). Callable
    // directly, without a task; its messages then reach no one.
    bool run() override;
    // The file's MD5 equals the expected sum, letter case aside (no trimming).
    bool checkMD5();
    // The ".sig" file is a valid signature of the whole file by the built-in key.
    bool checkRSA();
    // Reads a whole file into data; reports and returns false on failure.
    bool readFile(QString fileName, QByteArray &data);

private:
    QString m_fileName;
    QString m_md5;
};

// The task form of CheckSigFunc. Its verdict goes out on checkDone before the
// task ends, so the parent can act on it (discard this task, retry) first.
// A failed check ends the task finished, or error-cancelled when
// cancelOnFailure is set.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // md5: expected hexadecimal sum; empty selects the signature check.
    // weight: the task's share of its parent's progress.
    CheckSignatureTaskSpecification(QString fileName, QString md5, bool cancelOnFailure, QObject *parent,
                                    double weight);

    ASyncFunc *createFunction() override;
    // Ignored once the task is no longer running (cancelled or reset meanwhile).
    void runDone(bool pass) override;

    QString fileName() const { return m_fileName; }

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    QString m_fileName;
    QString m_md5;
    bool m_cancelOnFailure;
};

#endif
