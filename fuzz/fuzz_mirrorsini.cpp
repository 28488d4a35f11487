// Loading "mirrors.ini" into the mirror pool, then a run's use of the pool.
#include "fuzzsupport.h"

#include "mirrors.h"

#include <QObject>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), int(size));
    fuzz::InputDir dir;
    if (!dir.write(QStringLiteral("mirrors.ini"), content))
        fuzz::fail("cannot write mirrors.ini", dir.path());

    Mirrors pool;
    int messages = 0;
    QObject::connect(&pool, &Mirrors::message, [&messages](const QString &) { ++messages; });
    FUZZ_CHECK(pool.initDefault(dir.file(QStringLiteral("mirrors.ini")), 12), QString());

    const QVector<FTPSiteAccessData> loaded = pool.mirrors();
    for (const FTPSiteAccessData &record : loaded) {
        FUZZ_CHECK(!record.name.isEmpty() && record.name == record.name.trimmed(), record.name);
        FUZZ_CHECK(record.url.endsWith(QLatin1String("/12")), record.url);
        FUZZ_CHECK(qint32(record.retries) >= 1, QString::number(record.retries));
        FUZZ_CHECK(record.errorCount == 0 && record.useCount == 0 && record.maxUseCount == 1
                       && record.timeout == 15,
                   record.name);
    }

    // Every idle mirror can be taken once, then all are busy.
    FTPSiteAccessData taken;
    for (int i = 0; i < loaded.size(); ++i)
        FUZZ_CHECK(pool.getRandomMirror(taken) == 0, QString::number(i));
    int maxUse = -1;
    int inUse = -1;
    pool.calcUseStats(maxUse, inUse);
    FUZZ_CHECK(maxUse == loaded.size() && inUse == loaded.size(), QString::number(inUse));
    if (!loaded.isEmpty())
        FUZZ_CHECK(pool.getRandomMirror(taken) == 2, QString());
    for (const FTPSiteAccessData &record : loaded)
        pool.releaseMirror(record.name);

    // A mirror goes with the error that exceeds its retries; names act on their first record.
    for (const FTPSiteAccessData &record : loaded) {
        const int index = pool.getMirrorIndex(record.name);
        if (index < 0)
            continue;
        const quint32 retries = pool.mirrors().at(index).retries;
        if (retries > 3) {
            pool.removeMirror(record.name);
            continue;
        }
        const int before = pool.mirrors().size();
        for (quint32 error = 0; error < retries; ++error)
            pool.addMirrorError(record.name);
        FUZZ_CHECK(pool.mirrors().size() == before, record.name);
        pool.addMirrorError(record.name);
        FUZZ_CHECK(pool.mirrors().size() == before - 1, record.name);
    }
    FUZZ_CHECK(pool.mirrors().isEmpty(), QString::number(pool.mirrors().size()));

    // An empty pool says so once.
    const int before = messages;
    FUZZ_CHECK(pool.getRandomMirror(taken) == 1 && pool.getRandomMirror(taken) == 1, QString());
    FUZZ_CHECK(messages == before + 1, QString::number(messages));
    return 0;
}
