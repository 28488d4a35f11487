#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "fileunziptaskspecification.h"
#include "putinplacetaskspecification.h"

#include <QFile>
#include <QFileInfo>

const QStringList FileReplaceTaskSpecification::executableFiles = {
    QStringLiteral("cv3client_linux_x86"), QStringLiteral("cv3client_linux_amd64"),
    QStringLiteral("cv3client_runscript.sh"), QStringLiteral("update"),
    QStringLiteral("error_report"), QStringLiteral("package_inst"),
};

const QStringList FileReplaceTaskSpecification::executableSuffixes = {
    QStringLiteral("so"), QStringLiteral("so.4"),
};

FileReplaceTaskSpecification::FileReplaceTaskSpecification(FileReplaceSpecification &file, QList<QString> *deletes,
                                                           RollbackDataList *stageJournal,
                                                           Configuration *configuration, QObject *parent,
                                                           double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_file(file)
    , m_deletes(deletes)
    , m_stageJournal(stageJournal)
    , m_configuration(configuration)
{
}

QString FileReplaceTaskSpecification::destination() const
{
    return Configuration::getAppRootPath() + QLatin1Char('/') + m_file.pureDestFilePath();
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(m_file.fileName));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    // Cleared so that the task, executed again, can end again.
    m_cancelPropagated = false;
    m_doneReported = false;
    m_journal.rollback(this);
    m_replaced = false;
    TaskSpecification::reset();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    const QString source = m_configuration->m_tempDir + QLatin1Char('/') + m_file.fileName;
    const QString dest = destination();
    const QString old = root + m_file.oldDestFileName();
    const QString staged = root + m_file.stagedDestFileName();

    // The new copy is written and verified under its "_new_" name first and only then put in
    // place. Until then the installed file stays where it is, whole, so a run that is killed
    // (or fails) while copying or unpacking leaves it, the updater's own program included, as
    // it was: at most a staged copy is left, which the next run replaces.
    const double stepShare = 0.05;
    const bool destExists = QFileInfo::exists(dest);
    const bool oldExists = QFileInfo::exists(old);
    const bool staleStaged = QFileInfo::exists(staged);
    const int steps = 1 + (staleStaged ? 1 : 0) + (destExists && oldExists ? 1 : 0);
    const double writeShare = 1.0 - steps * stepShare;

    if (staleStaged)
        addSubTask(new FileDeleteTaskSpecification(true, staged, this, stepShare));
    if (m_file.hasUnzip()) {
        addSubTask(new FileUnzipTaskSpecification(&m_journal, source, staged, this, writeShare * 0.8));
        addSubTask(new CheckSignatureTaskSpecification(staged, m_file.unzipMd5, true, this, writeShare * 0.2));
    } else {
        addSubTask(new FileCopyTaskSpecification(&m_journal, source, staged, this, writeShare));
    }
    if (destExists) {
        if (oldExists)
            addSubTask(new FileDeleteTaskSpecification(true, old, this, stepShare));
        m_replaced = true;
    } else if (oldExists) {
        // An interrupted run set the file aside and did not get to put the new one in its
        // place: that copy is the file being replaced. It stays if this install fails and
        // goes with the other set-aside copies if it succeeds.
        m_replaced = true;
    }
    addSubTask(new PutInPlaceTaskSpecification(staged, dest, destExists ? old : QString(), isExecutableFile(dest),
                                               &m_journal, this, stepShare));
    m_state = TaskRunning;
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() == TaskFinished) {
        m_stageJournal->appendList(m_journal);
        m_journal.clear();
        const QString name = QFileInfo(m_file.pureDestFilePath()).fileName();
        if (m_replaced && !m_configuration->isSpecialFileName(name))
            m_deletes->append(m_file.oldDestFileName());
        makeSingleFileExecutable(destination());
        // Nothing more is needed from the finished steps; a release of thousands of files
        // would otherwise keep them all until the run ends.
        clearSubTasks();
    } else {
        m_journal.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

bool FileReplaceTaskSpecification::isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return executableFiles.contains(info.fileName()) || executableSuffixes.contains(info.completeSuffix());
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString &path)
{
    if (!isExecutableFile(path))
        return;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                    | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
                                    | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                    | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
}
