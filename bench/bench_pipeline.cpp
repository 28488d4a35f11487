// Drives a whole update run (the root task and its five stages) against a real HTTP server,
// and builds the signed release that such a run installs. Used by pipeline.sh, which
// compares the run's wall time with a shell baseline on the same data.
//
//   bench_pipeline make-release <mirrorRoot> <version> <files> <totalMiB> <privateKeyFile>
//   bench_pipeline run <installDir> <mirrorsIni> <version> <streams>

#include "configuration.h"
#include "maintaskspecification.h"
#include "mirrors.h"
#include "tomcryptutil.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QSettings>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

namespace {

const QString clientType = QStringLiteral("client_linux_x86");

int fail(const QString &text)
{
    std::fprintf(stderr, "bench_pipeline: %s\n", qPrintable(text));
    return 1;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray signWith(const QString &keyFile, const QByteArray &content)
{
    crypt_init();
    Rsa_key key{};
    load_key(&key, QFile::encodeName(keyFile).constData());
    QByteArray signature(512, '\0');
    unsigned long length = signature.size();
    sign_msg(&key, reinterpret_cast<const unsigned char *>(content.constData()), content.size(),
             reinterpret_cast<unsigned char *>(signature.data()), &length);
    rsa_free(&key);
    signature.truncate(int(length));
    return signature;
}

// Files of varying size in 20 sub-directories, with incompressible content. Besides the
// release it writes baseline.md5 (md5sum's format) and baseline.files (one path per line)
// into the version directory for the shell baseline.
int makeRelease(const QStringList &args)
{
    if (args.size() != 5)
        return fail(QStringLiteral("make-release needs <mirrorRoot> <version> <files> <totalMiB> <privateKeyFile>"));
    const QString base = args.at(0) + QLatin1Char('/') + args.at(1) + QLatin1Char('/');
    const int count = args.at(2).toInt();
    const qint64 total = args.at(3).toLongLong() * 1024 * 1024;
    if (count < 1 || total < count)
        return fail(QStringLiteral("bad file count or size"));

    const qint64 average = total / count;
    QRandomGenerator random(20261211);
    const QString iniPath = base + clientType + QStringLiteral(".ini");
    QFile::remove(iniPath);
    QSettings ini(iniPath, QSettings::IniFormat);
    QByteArray md5List, fileList;
    qint64 written = 0;
    for (int i = 0; i < count; ++i) {
        // Sizes from half to one and a half times the average; the last file makes up the total.
        qint64 size = average / 2 + qint64(random.bounded(quint32(average)));
        if (i == count - 1)
            size = qMax<qint64>(1, total - written);
        QByteArray data(int(size), Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32 *>(data.data()), int(size / 4));
        const QString name = QStringLiteral("d%1/file%2.bin").arg(i % 20, 2, 10, QLatin1Char('0')).arg(i);
        if (!writeFile(base + QStringLiteral("client/") + name, data))
            return fail(QStringLiteral("cannot write %1").arg(name));
        const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
        ini.setValue(QStringLiteral("client/") + name,
                     QStringLiteral("%1::%2").arg(QString::fromLatin1(md5)).arg(size));
        md5List += md5 + "  " + name.toUtf8() + "\n";
        fileList += name.toUtf8() + "\n";
        written += size;
    }
    ini.sync();
    QFile iniFile(iniPath);
    if (!iniFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read back the product ini"));
    const QByteArray content = iniFile.readAll();
    QByteArray signature;
    try {
        signature = signWith(args.at(4), content);
    } catch (const crypt_exception &e) {
        return fail(QStringLiteral("signing failed: %1").arg(QString::fromLatin1(e.what())));
    }
    if (!writeFile(iniPath + QStringLiteral(".sig"), signature) || !writeFile(base + "baseline.md5", md5List)
        || !writeFile(base + "baseline.files", fileList))
        return fail(QStringLiteral("cannot write the release's side files"));
    std::printf("release_files=%d release_bytes=%lld\n", count, static_cast<long long>(written));
    return 0;
}

int runPipeline(const QStringList &args)
{
    if (args.size() != 4)
        return fail(QStringLiteral("run needs <installDir> <mirrorsIni> <version> <streams>"));
    Configuration::setAppRootPathOverride(QDir(args.at(0)).absolutePath());
    Configuration config;
    config.m_clientType = clientType;
    config.m_clientVersion = args.at(2).toInt();
    config.m_downloadStreams = args.at(3).toInt();
    if (!config.createTempDir())
        return fail(QStringLiteral("cannot create a working directory"));
    try {
        crypt_init();
    } catch (const crypt_exception &e) {
        return fail(QString::fromLatin1(e.what()));
    }

    QNetworkAccessManager manager;
    Mirrors mirrors;
    mirrors.initDefault(args.at(1), config.m_clientVersion);
    MainTaskSpecification root(&manager, &mirrors, &config, nullptr, 1.0);
    // The last lines of the log, shown when the run fails.
    QStringList log;
    const auto keep = [&log](const QString &line) {
        log << line;
        if (log.size() > 200)
            log.removeFirst();
    };
    QObject::connect(&root, &TaskSpecification::message, keep);
    QObject::connect(&mirrors, &Mirrors::message, keep);

    // The engine's once-a-second statistics tick, which also drives the transfers' time-out.
    QTimer tick;
    quint64 peakSpeed = 0;
    QObject::connect(&tick, &QTimer::timeout, [&root, &peakSpeed] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        root.timeTick(done, total, speed, downloading);
        peakSpeed = qMax(peakSpeed, speed);
    });
    int status = 1;
    QObject::connect(&root, &TaskSpecification::finished, [&status] {
        status = 0;
        QCoreApplication::quit();
    });
    QObject::connect(&root, &TaskSpecification::canceled, [] { QCoreApplication::quit(); });

    QElapsedTimer clock;
    clock.start();
    tick.start(1000);
    // Where the time and the memory go: the moment each stage ends and the peak so far.
    QList<double> stageEnds;
    QList<long> stagePeaks;
    QTimer::singleShot(0, &root, [&root, &clock, &stageEnds, &stagePeaks] {
        root.execute();
        for (TaskSpecification *stage : root.subTasks()) {
            QObject::connect(stage, &TaskSpecification::finished, [&clock, &stageEnds, &stagePeaks] {
                stageEnds << clock.nsecsElapsed() / 1e9;
                rusage usage{};
                getrusage(RUSAGE_SELF, &usage);
                stagePeaks << usage.ru_maxrss;
            });
        }
    });
    QCoreApplication::exec();
    const double seconds = clock.nsecsElapsed() / 1e9;

    // The working directory is left to the caller, as the baseline leaves its downloads.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    if (status != 0)
        std::fprintf(stderr, "%s\n", qPrintable(log.join(QLatin1Char('\n'))));
    QStringList ends;
    for (double end : stageEnds)
        ends << QString::number(end, 'f', 2);
    QStringList peaks;
    for (long peak : stagePeaks)
        peaks << QString::number(peak);
    std::printf("stage_ends_s=%s stage_peak_rss_kib=%s\n", qPrintable(ends.join(QLatin1Char(','))),
                qPrintable(peaks.join(QLatin1Char(','))));
    std::printf("pipeline_seconds=%.3f peak_rss_kib=%ld peak_speed_mib_s=%.1f status=%s work_dir=%s\n", seconds,
                usage.ru_maxrss, peakSpeed / 1048576.0, status == 0 ? "finished" : "failed",
                qPrintable(config.m_tempDir));
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString mode = args.isEmpty() ? QString() : args.takeFirst();
    if (mode == QLatin1String("make-release"))
        return makeRelease(args);
    if (mode == QLatin1String("run"))
        return runPipeline(args);
    return fail(QStringLiteral("usage: bench_pipeline make-release|run ..."));
}
