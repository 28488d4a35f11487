#include "mirrors.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QStringList>

#include <algorithm>
#include <utility>

namespace {

// One generator for all pools, like the process-wide generator the engine seeds.
QRandomGenerator &randomGenerator()
{
    static QRandomGenerator generator(1u);
    return generator;
}

} // namespace

Mirrors::Mirrors(QObject *parent)
    : QObject(parent)
    , m_noMirrorsReported(false)
{
}

void Mirrors::seedRandom(quint32 seed)
{
    randomGenerator().seed(seed);
}

QString Mirrors::versionedUrl(QString address, int version)
{
    if (!address.endsWith(QLatin1Char('/')))
        address += QLatin1Char('/');
    return address + QString::number(version);
}

bool Mirrors::initDefault(const QString &fileName, int version)
{
    QSettings settings(fileName, QSettings::IniFormat);
    const int size = settings.beginReadArray(QStringLiteral("mirrors"));
    // Entries missing from the file read as blank and are skipped, so only those
    // present are visited, in entry order: a huge "size" must not stall the run.
    QList<int> present;
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups) {
        bool ok = false;
        const int number = group.toInt(&ok);
        if (ok && number >= 1 && number <= size && group == QString::number(number))
            present.append(number - 1);
    }
    std::sort(present.begin(), present.end());
    for (int i : std::as_const(present)) {
        settings.setArrayIndex(i);
        const QString name = settings.value(QStringLiteral("mirror")).toString().trimmed();
        if (name.isEmpty())
            continue;
        FTPSiteAccessData record;
        record.name = name;
        m_mirrors.append(record);
    }
    settings.endArray();
    setDefaults(settings, version);
    return true;
}

void Mirrors::setDefaults(QSettings &settings, int version)
{
    for (FTPSiteAccessData &record : m_mirrors) {
        settings.beginGroup(record.name);
        record.url = versionedUrl(settings.value(QStringLiteral("url")).toString(), version);
        bool ok = false;
        quint32 retries = settings.value(QStringLiteral("retries"), 2).toUInt(&ok);
        if (!ok || qint32(retries) < 1)
            retries = 2;
        record.retries = retries;
        settings.endGroup();
    }
}

bool Mirrors::initAlpha(const QString &fileName, int version)
{
    QSettings settings(fileName, QSettings::IniFormat);
    const QString alpha = settings.value(QStringLiteral("Channel/alpha")).toString();
    if (alpha.isEmpty()) {
        emit fatalError(QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData record;
    record.name = QStringLiteral("Alpha Channel");
    record.url = versionedUrl(alpha, version);
    record.retries = 4;
    m_mirrors.append(record);
    return true;
}

int Mirrors::getRandomMirror(FTPSiteAccessData &out)
{
    if (m_mirrors.isEmpty()) {
        if (!m_noMirrorsReported) {
            emit message(tr("There are no (more) known working mirrors available"));
            m_noMirrorsReported = true;
        }
        return 1;
    }
    int maxUse = 0;
    int inUse = 0;
    calcUseStats(maxUse, inUse);
    if (inUse >= maxUse)
        return 2;

    int r = int(randomGenerator().bounded(quint32(maxUse - inUse)));
    for (FTPSiteAccessData &record : m_mirrors) {
        r -= record.maxUseCount - record.useCount;
        if (r < 0) {
            ++record.useCount;
            out = record;
            return 0;
        }
    }
    return 1;
}

void Mirrors::releaseMirror(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        --m_mirrors[index].useCount;
}

void Mirrors::addMirrorError(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData &record = m_mirrors[index];
    ++record.errorCount;
    if (qint32(record.errorCount) <= qint32(record.retries))
        return;
    emit message(tr("Mirror %1 failed too many times, removing").arg(name));
    m_mirrors.remove(index);
}

void Mirrors::removeMirror(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        m_mirrors.remove(index);
}

int Mirrors::getMirrorIndex(const QString &name) const
{
    for (int i = 0; i < m_mirrors.size(); ++i) {
        if (m_mirrors.at(i).name == name)
            return i;
    }
    return -1;
}

void Mirrors::calcUseStats(int &maxUse, int &inUse) const
{
    maxUse = 0;
    inUse = 0;
    for (const FTPSiteAccessData &record : m_mirrors) {
        maxUse += record.maxUseCount;
        inUse += record.useCount;
    }
}
