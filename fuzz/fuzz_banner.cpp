// Replies of the banner service: picture address, ",", click address.
#include "fuzzsupport.h"

#include "banner.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));
    // Only the first 1024 bytes of a reply count, read as Latin-1, nothing trimmed.
    const QString text = QString::fromLatin1(datagram.left(Banner::MaxReplySize));

    QString bannerUrl = QStringLiteral("untouched");
    QString clickUrl = QStringLiteral("untouched");
    const bool found = Banner::parseReply(datagram, &bannerUrl, &clickUrl);
    FUZZ_CHECK(found == (text.count(QLatin1Char(',')) == 1), text);
    if (found) {
        FUZZ_CHECK(bannerUrl + QLatin1Char(',') + clickUrl == text, text);
    } else {
        FUZZ_CHECK(bannerUrl == QLatin1String("untouched") && clickUrl == QLatin1String("untouched"),
                   bannerUrl);
    }
    FUZZ_CHECK(Banner::parseReply(datagram, nullptr, nullptr) == found, text);
    return 0;
}
