#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <utility>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(QList<FileDownloadSpecification> *downloads,
                                                                     QNetworkAccessManager *manager, Mirrors *mirrors,
                                                                     Configuration *configuration, QObject *parent,
                                                                     double weight)
    : ComposedTaskSpecification(qMax(1, configuration->m_downloadStreams), weight, parent)
    , m_downloads(downloads)
    , m_manager(manager)
    , m_mirrors(mirrors)
    , m_configuration(configuration)
{
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubTasks();
    // Cleared so that the task, executed again, can end again.
    m_cancelPropagated = false;
    m_doneReported = false;
    m_totalSize = 0;
    m_fileProgress.clear();
    m_progressSum = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::connectSignals(TaskSpecification *child)
{
    ComposedTaskSpecification::connectSignals(child);
    // Every chunk a transfer writes reports progress. Summing thousands of file tasks on each
    // report would cost more than the transfers themselves, so the sum is kept running.
    disconnect(child, &TaskSpecification::updateProgress, this, nullptr);
    connect(child, &TaskSpecification::updateProgress, this, [this, child](qreal progress) {
        double &last = m_fileProgress[child];
        m_progressSum += progress - last;
        last = progress;
        setProgress(m_progressSum);
    });
}

void DownloadFileListTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                                 bool &downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    downloadTotal = m_totalSize;
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (m_downloads->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return;

    emit message(QStringLiteral("Downloading files"));
    const double weight = 1.0 / m_downloads->size();
    for (const FileDownloadSpecification &file : std::as_const(*m_downloads)) {
        addSubTask(new DownloadFileTaskSpecification(file, m_manager, m_mirrors, m_configuration, this, weight));
        m_totalSize += file.size;
    }
    m_state = TaskRunning;
    executeSubTasks();
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    QSet<QString> done;
    done.insert(QStringLiteral("."));
    const QDir temp(m_configuration->m_tempDir);
    for (const FileDownloadSpecification &file : std::as_const(*m_downloads)) {
        const QString dir = QFileInfo(file.fileName).path();
        if (done.contains(dir))
            continue;
        if (!temp.mkpath(dir)) {
            emit message(QStringLiteral("Could not create dir %1").arg(temp.canonicalPath() + QLatin1Char('/') + dir));
            errorCancel();
            return false;
        }
        done.insert(dir);
    }
    return true;
}
