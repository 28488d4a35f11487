#include "updateserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QTextStream>

#include <cstdio>

namespace {

void logLine(const QString &text)
{
    QTextStream err(stderr);
    err << QDateTime::currentDateTime().toString(Qt::ISODate) << ' ' << text << Qt::endl;
}

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-update-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Answers the Corvane updater's latest-version, news and banner requests over UDP\n"
        "from an INI settings file, which is read again whenever it changes."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("settings"), QStringLiteral("The settings file (INI)."));
    const QCommandLineOption bindOption(QStringLiteral("bind"),
        QStringLiteral("Local address to listen on (default 127.0.0.1; 0.0.0.0 for every IPv4 address)."),
        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption versionPortOption(QStringLiteral("version-port"),
        QStringLiteral("Port of the versions and news service (default 17384)."),
        QStringLiteral("port"), QString::number(UpdateServer::DefaultVersionPort));
    const QCommandLineOption bannerPortOption(QStringLiteral("banner-port"),
        QStringLiteral("Port of the banner service (default 2009)."),
        QStringLiteral("port"), QString::number(UpdateServer::DefaultBannerPort));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
        QStringLiteral("Log every request."));
    parser.addOption(bindOption);
    parser.addOption(versionPortOption);
    parser.addOption(bannerPortOption);
    parser.addOption(verboseOption);
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        logLine(QStringLiteral("error: exactly one settings file expected"));
        parser.showHelp(2);
    }
    const QHostAddress bindAddress(parser.value(bindOption));
    if (bindAddress.isNull()) {
        logLine(QStringLiteral("error: invalid bind address %1").arg(parser.value(bindOption)));
        return 2;
    }
    quint16 versionPort = 0;
    quint16 bannerPort = 0;
    if (!parsePort(parser.value(versionPortOption), &versionPort)
        || !parsePort(parser.value(bannerPortOption), &bannerPort)) {
        logLine(QStringLiteral("error: invalid port"));
        return 2;
    }

    UpdateServer server(positional.first());
    server.setVerbose(parser.isSet(verboseOption));
    QObject::connect(&server, &UpdateServer::message, &logLine);
    QString error;
    if (!server.start(bindAddress, versionPort, bannerPort, &error)) {
        logLine(QStringLiteral("error: %1").arg(error));
        return 1;
    }
    logLine(QStringLiteral("listening on %1: versions and news on port %2, banner on port %3")
                .arg(bindAddress.toString()).arg(server.versionPort()).arg(server.bannerPort()));
    return app.exec();
}
