// Replies of the latest-version service: the versions datagram and the news datagram,
// and the configuration's reading of the version it picks from them.
#include "fuzzsupport.h"

#include "configuration.h"
#include "updatechecker.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));

    // What counts of the datagram: at most 511 bytes, up to the first zero byte.
    const int limit = qMin(datagram.size(), 511);
    const QString expected = QString::fromLatin1(datagram.constData(),
                                                 int(qstrnlen(datagram.constData(), size_t(limit))));

    const QList<QPair<QString, QString> > entries = UpdateChecker::parseVersionReply(datagram);
    FUZZ_CHECK(entries.size() == expected.count(QLatin1Char(',')) + 1, expected);
    QStringList joined;
    for (const auto &entry : entries) {
        FUZZ_CHECK(!entry.first.contains(QLatin1Char('#')), entry.first);
        joined << (entry.second.isNull() ? entry.first : entry.first + QLatin1Char('#') + entry.second);
    }
    // Splitting loses nothing: the entries put together again give the text back.
    FUZZ_CHECK(joined.join(QLatin1Char(',')) == expected, expected);

    UpdateChecker checker(QByteArray("127.0.0.1"), 0);
    checker.m_channelVersions = entries;
    for (int channel = 0; channel <= 3; ++channel) {
        const QPair<QString, QString> pair = checker.getClientVersionByChannel(UpdateChannel(channel));
        if (channel >= 0 && channel < entries.size())
            FUZZ_CHECK(pair == entries.at(channel), pair.first);
        else
            FUZZ_CHECK(pair.first.isNull() && pair.second.isNull(), pair.first);
    }

    // The configuration takes a non-empty version of its channel as a decimal number.
    if (!entries.first().first.isEmpty()) {
        Configuration configuration;
        bool ok = false;
        const int number = entries.first().first.toInt(&ok, 10);
        const bool settled = configuration.getClientVersionFromString(
            entries.first().first, QStringLiteral("Update server returned invalid version nr (%1)"));
        FUZZ_CHECK(settled == ok, entries.first().first);
        FUZZ_CHECK(configuration.m_clientVersion == (ok ? number : 0), entries.first().first);
    }

    // The news datagram: at most 4095 bytes, up to the first zero byte.
    const QString news = UpdateChecker::parseNewsReply(datagram);
    const int newsLimit = qMin(datagram.size(), 4095);
    FUZZ_CHECK(news.size() == int(qstrnlen(datagram.constData(), size_t(newsLimit))), news);
    FUZZ_CHECK(news.toLatin1() == datagram.left(news.size()), news);
    return 0;
}
