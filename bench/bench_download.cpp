// Fetches one file with the transfer task, the way an update run does, and prints the
// time it took and the process's peak resident memory. Driven by bench/download.sh.
//
//   bench_download <mirror address> <version> <remote path> <local file> <expected size>

#include "downloadtaskspecification.h"
#include "mirrors.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
qint64 statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: %s <mirror address> <version> <remote path> <local file> <expected size>\n",
                     argv[0]);
        return 2;
    }
    const QString address = args.at(1);
    const int version = args.at(2).toInt();
    const QString remotePath = args.at(3);
    const QString localFile = args.at(4);
    const qint64 expectedSize = args.at(5).toLongLong();

    QTemporaryDir dir;
    const QString mirrorList = dir.filePath(QStringLiteral("mirrors.ini"));
    {
        QFile ini(mirrorList);
        if (!dir.isValid() || !ini.open(QIODevice::WriteOnly))
            return 2;
        ini.write("[mirrors]\nsize=1\n1\\mirror=bench\n[bench]\nurl=" + address.toUtf8() + "\n");
    }
    Mirrors pool;
    pool.initDefault(mirrorList, version);
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    DownloadTaskSpecification task(&manager, &pool, remotePath, localFile, expectedSize, nullptr, 1.0);

    int status = 0;
    QObject::connect(&task, &TaskSpecification::message, [](const QString &line) {
        std::fprintf(stderr, "%s\n", qPrintable(line));
    });
    QObject::connect(&task, &TaskSpecification::error, [](const QString &line) {
        std::fprintf(stderr, "error: %s\n", qPrintable(line));
    });
    QObject::connect(&task, &TaskSpecification::finished, &app, &QCoreApplication::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &app, [&] {
        status = 1;
        app.quit();
    });
    // The engine's one-second statistics tick, which also runs the idle watchdog.
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&task] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
    });
    tick.start(1000);

    const qint64 startRss = statusKb("VmRSS");
    QElapsedTimer clock;
    QTimer::singleShot(0, &task, [&] {
        clock.start();
        task.execute();
    });
    app.exec();
    const qint64 nanoseconds = clock.nsecsElapsed();

    const qint64 size = QFileInfo(localFile).size();
    if (status != 0 || (expectedSize > 0 && size != expectedSize)) {
        std::fprintf(stderr, "transfer failed (%lld bytes on disk)\n", static_cast<long long>(size));
        return 1;
    }
    std::printf("bytes=%lld seconds=%.3f start_rss_kb=%lld peak_rss_kb=%lld\n", static_cast<long long>(size),
                double(nanoseconds) / 1e9, static_cast<long long>(startRss),
                static_cast<long long>(statusKb("VmHWM")));
    return 0;
}
