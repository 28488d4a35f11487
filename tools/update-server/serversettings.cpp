#include "serversettings.h"

#include <QRegularExpression>

namespace {

const char *const ChannelKeys[ServerSettings::ChannelCount] = {"stable", "beta", "alpha"};

void warn(QStringList *warnings, const QString &text)
{
    if (warnings)
        warnings->append(text);
}

// Latin-1 bytes of a value; characters outside Latin-1 become "?".
QByteArray toWire(const QString &text)
{
    return text.toLatin1();
}

bool isLatin1(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return false;
    }
    return true;
}

} // namespace

ServerSettings ServerSettings::parse(const QByteArray &content, QStringList *warnings)
{
    ServerSettings settings;
    QString section;
    const QString text = QString::fromUtf8(content);
    const QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\n|\r")));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        const int lineNo = i + 1;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']'))) {
                warn(warnings, QStringLiteral("line %1: malformed section header").arg(lineNo));
                section = QString();
                continue;
            }
            section = line.mid(1, line.size() - 2).trimmed().toLower();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            warn(warnings, QStringLiteral("line %1: no \"=\"").arg(lineNo));
            continue;
        }
        const QString key = line.left(equals).trimmed().toLower();
        const QString value = line.mid(equals + 1).trimmed();
        if (!isLatin1(value))
            warn(warnings, QStringLiteral("line %1: characters outside Latin-1 are sent as \"?\"").arg(lineNo));

        bool known = false;
        if (section == QLatin1String("versions")) {
            for (int c = 0; c < ChannelCount; ++c) {
                if (key == QLatin1String(ChannelKeys[c])) {
                    settings.versions[c] = value;
                    known = true;
                } else if (key == QLatin1String(ChannelKeys[c]) + QLatin1String("_label")) {
                    settings.labels[c] = value;
                    known = true;
                }
            }
        } else if (section == QLatin1String("news") && key == QLatin1String("text")) {
            settings.news = value;
            known = true;
        } else if (section == QLatin1String("banner")) {
            if (key == QLatin1String("picture")) {
                settings.bannerUrl = value;
                known = true;
            } else if (key == QLatin1String("click")) {
                settings.clickUrl = value;
                known = true;
            }
        }
        if (!known)
            warn(warnings, QStringLiteral("line %1: unknown setting \"%2\" in section [%3]")
                               .arg(lineNo).arg(key, section));
    }

    static const QRegularExpression decimal(QStringLiteral("^[0-9]+$"));
    for (int c = 0; c < ChannelCount; ++c) {
        if (!settings.versions[c].isEmpty() && !decimal.match(settings.versions[c]).hasMatch()) {
            warn(warnings, QStringLiteral("%1: version \"%2\" is not a decimal number; channel left empty")
                               .arg(QLatin1String(ChannelKeys[c]), settings.versions[c]));
            settings.versions[c].clear();
        }
        if (settings.labels[c].contains(QLatin1Char(','))) {
            warn(warnings, QStringLiteral("%1_label: a label must not contain \",\"; label dropped")
                               .arg(QLatin1String(ChannelKeys[c])));
            settings.labels[c].clear();
        }
    }
    if (settings.versionsReply().size() > MaxVersionsReply)
        warn(warnings, QStringLiteral("versions: the reply is longer than %1 bytes; clients cut it")
                           .arg(MaxVersionsReply));
    if (toWire(settings.news).size() > MaxNewsReply)
        warn(warnings, QStringLiteral("news: the text is longer than %1 bytes and is cut").arg(MaxNewsReply));

    if (settings.bannerUrl.contains(QLatin1Char(',')) || settings.clickUrl.contains(QLatin1Char(','))) {
        warn(warnings, QStringLiteral("banner: addresses must not contain \",\"; no banner is offered"));
        settings.bannerUrl.clear();
        settings.clickUrl.clear();
    }
    if (settings.bannerReply().size() > MaxBannerReply) {
        warn(warnings, QStringLiteral("banner: the reply is longer than %1 bytes; no banner is offered")
                           .arg(MaxBannerReply));
        settings.bannerUrl.clear();
        settings.clickUrl.clear();
    }
    return settings;
}

QByteArray ServerSettings::versionsReply() const
{
    QByteArray reply;
    for (int c = 0; c < ChannelCount; ++c) {
        if (c > 0)
            reply += ',';
        reply += toWire(versions[c]);
        if (!versions[c].isEmpty() && !labels[c].isEmpty())
            reply += '#' + toWire(labels[c]);
    }
    return reply;
}

QByteArray ServerSettings::newsReply() const
{
    const QByteArray text = toWire(news).left(MaxNewsReply);
    // An empty datagram could be taken for a failed read; a lone zero byte
    // reads as an empty text everywhere.
    return text.isEmpty() ? QByteArray(1, '\0') : text;
}

QByteArray ServerSettings::bannerReply() const
{
    if (bannerUrl.isEmpty())
        return QByteArray();
    return toWire(bannerUrl) + ',' + toWire(clickUrl);
}
