// Decompresses one gzip file through the updater's unzip task and reports the
// elapsed time and the process's peak resident memory. Driven by unzip.sh,
// which compares the time with `gzip -dc` on the same file.
//
// usage: bench_unzip <file.gz> <output>

#include "fileunziptaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

#include <sys/resource.h>

static long peakRssKiB()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // KiB on Linux
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: bench_unzip <file.gz> <output>\n");
        return 2;
    }
    const QString source = args.at(1);
    const QString destination = args.at(2);
    QFile::remove(destination);

    FileUnzipTaskSpecification task(nullptr, source, destination, nullptr, 1.0);
    QElapsedTimer timer;
    int status = 1;
    QObject::connect(&task, &TaskSpecification::finished, &app, [&] {
        status = 0;
        app.quit();
    });
    QObject::connect(&task, &TaskSpecification::canceled, &app, [&] { app.quit(); });
    QObject::connect(&task, &TaskSpecification::message, &app, [](const QString &line) {
        std::fprintf(stderr, "%s\n", qPrintable(line));
    });
    QTimer::singleShot(0, &task, [&] {
        timer.start();
        task.execute();
    });
    app.exec();

    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 outBytes = QFileInfo(destination).size();
    std::printf("unzip_seconds=%.3f\n", seconds);
    std::printf("output_bytes=%lld\n", static_cast<long long>(outBytes));
    std::printf("throughput_MiB_per_s=%.1f\n", outBytes / seconds / (1024.0 * 1024.0));
    std::printf("peak_rss_KiB=%ld\n", peakRssKiB());
    return status;
}
