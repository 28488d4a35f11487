// Reading "update.ini": channel, proxy and streams, the session record, the alpha
// mirror; then writing and removing the session record, which must keep the rest.
#include "fuzzsupport.h"

#include "configuration.h"
#include "mirrors.h"
#include "updateinidata.h"

#include <QSettings>

namespace {

struct Settled
{
    UpdateChannel channel;
    int version;
    QString proxy;
    int streams;

    bool operator==(const Settled &other) const
    {
        return channel == other.channel && version == other.version && proxy == other.proxy
            && streams == other.streams;
    }
};

Settled settle()
{
    Configuration configuration;
    configuration.getUpdateChannel();
    configuration.getProxyAndDownloadConcurrency();
    return {configuration.m_channel, configuration.m_clientVersion, configuration.m_proxy,
            configuration.m_downloadStreams};
}

QString describe(const Settled &s)
{
    return QStringLiteral("channel %1 version %2 proxy '%3' streams %4")
        .arg(int(s.channel)).arg(s.version).arg(s.proxy).arg(s.streams);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), int(size));
    fuzz::InputDir dir;
    if (!dir.write(QStringLiteral("update.ini"), content))
        fuzz::fail("cannot write update.ini", dir.path());
    Configuration::setAppRootPathOverride(dir.path());
    const QString iniPath = UpdateIniData::filename();
    FUZZ_CHECK(iniPath == dir.file(QStringLiteral("update.ini")), iniPath);

    const Settled before = settle();
    FUZZ_CHECK(before.channel == Stable || before.channel == Beta || before.channel == Alpha,
               describe(before));
    FUZZ_CHECK(before.channel == Alpha || before.version == 0, describe(before));
    FUZZ_CHECK(before.streams >= 1, describe(before));

    int version = -1;
    QString type = QStringLiteral("untouched");
    QString session = QStringLiteral("untouched");
    if (UpdateIniData::get(&version, &type, &session))
        FUZZ_CHECK(!type.isEmpty() && !session.isEmpty(), type + QLatin1Char(' ') + session);
    else
        FUZZ_CHECK(version == -1 && type == QLatin1String("untouched")
                       && session == QLatin1String("untouched"),
                   type);
    FUZZ_CHECK(UpdateIniData::get(nullptr, nullptr, nullptr) == (type != QLatin1String("untouched")),
               type);

    Mirrors alpha;
    const bool alphaLoaded = alpha.initAlpha(iniPath, 5);
    FUZZ_CHECK(alphaLoaded == (before.channel == Alpha), describe(before));
    if (alphaLoaded) {
        FUZZ_CHECK(alpha.mirrors().size() == 1, QString());
        const FTPSiteAccessData &record = alpha.mirrors().first();
        FUZZ_CHECK(record.name == QLatin1String("Alpha Channel") && record.retries == 4, record.name);
        FUZZ_CHECK(record.url.endsWith(QLatin1String("/5")), record.url);
    }

    // The program writes only the section "current"; what it settles from the
    // other sections must not change when it removes a session.
    const QString sessionType = QStringLiteral("client_linux_x86");
    UpdateIniData::modify(812, dir.path(), sessionType);
    int storedVersion = 0;
    QString storedType;
    QString storedDir;
    FUZZ_CHECK(UpdateIniData::get(&storedVersion, &storedType, &storedDir), QString());
    FUZZ_CHECK(storedVersion == 812 && storedType == sessionType && storedDir == dir.path(),
               storedType + QLatin1Char(' ') + storedDir);
    // The settings writer normalizes the file it rewrites (keys with a backslash
    // outside any section, for one, are read only after they were rewritten under
    // their own section), so compare the settled values from then on.
    const Settled afterModify = settle();

    UpdateIniData::cleanup();
    FUZZ_CHECK(!UpdateIniData::get(nullptr, nullptr, nullptr), QString());
    const Settled afterCleanup = settle();
    FUZZ_CHECK(afterCleanup == afterModify,
               describe(afterModify) + QLatin1String(" / ") + describe(afterCleanup));

    Configuration::setAppRootPathOverride(QString());
    return 0;
}
