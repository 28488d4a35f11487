// Runs one MD5 check through the updater's check task and reports the elapsed
// time and how far the process's peak resident memory rose during the check.
// Driven by md5.sh, which compares the time with `md5sum` on the same file.
//
// usage: bench_md5 <file> <expected md5>

#include "checksignaturetaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

// A field of /proc/self/status in KiB (VmRSS: now, VmHWM: peak so far).
static long statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: bench_md5 <file> <expected md5>\n");
        return 2;
    }
    const QString file = args.at(1);
    CheckSignatureTaskSpecification task(file, args.at(2), false, nullptr, 1.0);
    QElapsedTimer timer;
    bool pass = false;
    QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone, &app,
                     [&](bool result, CheckSignatureTaskSpecification *) { pass = result; });
    QObject::connect(&task, &TaskSpecification::finished, &app, [&] { app.quit(); });
    QObject::connect(&task, &TaskSpecification::canceled, &app, [&] { app.quit(); });
    QObject::connect(&task, &TaskSpecification::message, &app,
                     [](const QString &line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });

    long rssBefore = 0;
    QTimer::singleShot(0, &task, [&] {
        rssBefore = statusKiB("VmRSS");
        timer.start();
        task.execute();
    });
    app.exec();

    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 bytes = QFileInfo(file).size();
    const long peak = statusKiB("VmHWM");
    std::printf("check_passed=%d\n", pass ? 1 : 0);
    std::printf("md5_seconds=%.3f\n", seconds);
    std::printf("file_bytes=%lld\n", static_cast<long long>(bytes));
    std::printf("throughput_MiB_per_s=%.1f\n", bytes / seconds / (1024.0 * 1024.0));
    std::printf("rss_before_KiB=%ld\n", rssBefore);
    std::printf("peak_rss_KiB=%ld\n", peak);
    std::printf("peak_rss_growth_KiB=%ld\n", peak - rssBefore);
    return pass ? 0 : 1;
}
