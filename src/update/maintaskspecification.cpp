#include "maintaskspecification.h"

#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager *networkManager, Mirrors *mirrors,
                                             Configuration *configuration, QObject *parent, double share)
    : ComposedTaskSpecification(1, share, parent)
    , m_networkManager(networkManager)
    , m_mirrors(mirrors)
    , m_configuration(configuration)
{
}

void MainTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting update process"));
    makeSubtasksAndStart();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    // Cleared so that the task, executed again, can end again.
    m_cancelPropagated = false;
    m_doneReported = false;
    m_fileSpecs.clear();
    TaskSpecification::reset();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTask(new IniDownloadTaskSpecification(m_networkManager, m_mirrors, m_configuration, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(m_configuration, m_fileSpecs, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&m_fileSpecs.downloads, m_networkManager, m_mirrors,
                                                     m_configuration, this, 0.4));
    addSubTask(new FileReplaceListTaskSpecification(&m_fileSpecs.replaces, &m_fileSpecs.deletes, m_configuration,
                                                    this, 0.4));
    addSubTask(new FileDeleteListTaskSpecification(&m_fileSpecs.deletes, this, 0.05));
    m_state = TaskRunning;
    executeSubTasks();
}
