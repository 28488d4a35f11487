#include "configuration.h"
#include "mainwindow.h"
#include "singleinstancechecker.h"
#include "updateengine.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    // Files of a self-update that could not be replaced while they were in use.
    const QString appDir = QCoreApplication::applicationDirPath();
    UpdateEngine::removeOldFiles(appDir);
    UpdateEngine::removeOldFiles(appDir + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(appDir + QStringLiteral("/accessible"));

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    QTranslator qtTranslator;
    // A catalogue that does not load translates nothing; that is no error.
    (void)updateTranslator.load(appDir + QStringLiteral("/translations/update_") + locale);
    (void)qtTranslator.load(appDir + QStringLiteral("/translations/qt_") + locale);
    QCoreApplication::installTranslator(&updateTranslator);
    QCoreApplication::installTranslator(&qtTranslator);

    Configuration configuration;
    MainWindow window(configuration);

    if (!configuration.parseCommandLineOptions())
        return 1;

    if (configuration.m_noUser == 1)
        QTimer::singleShot(2000, &window, SLOT(onAutoStartUpdate()));

    window.setUIToConfigSpecs();
    window.show();
    window.setNews();

    return QApplication::exec();
}
