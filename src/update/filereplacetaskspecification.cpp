#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "fileunziptaskspecification.h"

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

    double weight = 1.0;
    if (QFileInfo::exists(dest)) {
        if (QFileInfo::exists(old)) {
            addSubTask(new FileDeleteTaskSpecification(true, old, this, 0.1));
            weight = 0.9;
        }
        m_replaced = true;
        addSubTask(new FileRenameTaskSpecification(dest, old, &m_journal, this, 0.1));
        weight -= 0.1;
    } else if (QFileInfo::exists(old)) {
        // An interrupted run set the file aside and did not get to put the new one in its
        // place: that copy is the file being replaced. It stays if this install fails and
        // goes with the other set-aside copies if it succeeds.
        m_replaced = true;
    }
    if (m_file.hasUnzip()) {
        addSubTask(new FileUnzipTaskSpecification(&m_journal, source, dest, this, weight - 0.2));
        addSubTask(new CheckSignatureTaskSpecification(dest, m_file.unzipMd5, true, this, 0.2));
    } else {
        addSubTask(new FileCopyTaskSpecification(&m_journal, source, dest, this, weight));
    }
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
