#include "pipelinerelease.h"

#include "productini.h"
#include "releasefixture.h"
#include "testdirs.h"

#include <QDebug>

PipelineRelease::PipelineRelease(int version)
    : m_version(version)
{
}

void PipelineRelease::addFile(const QString &name, const QByteArray &content)
{
    m_files.insert(name, content);
}

void PipelineRelease::addPackedFile(const QString &name, const QByteArray &content)
{
    m_files.insert(name, content);
    m_packed.append(name);
}

void PipelineRelease::addDelete(const QString &name)
{
    m_deletes.append(name);
}

void PipelineRelease::addRawEntry(const QString &section, const QString &key, const QString &value)
{
    m_raw.append(RawEntry{section, key, value});
}

void PipelineRelease::breakUnpackedSum(const QString &name)
{
    m_brokenSums.append(name);
}

bool PipelineRelease::writeTo(const QString &root) const
{
    ReleaseFixture::Options options;
    options.pack = m_packed;
    options.deletes = m_deletes;
    const ReleaseFixture::Release release = ReleaseFixture::build(root, m_version, m_files, options);
    if (!release.ok) {
        qWarning() << "release not built:" << release.error;
        return false;
    }
    if (m_raw.isEmpty() && m_brokenSums.isEmpty())
        return true;

    ProductIni ini;
    for (const ProductIni::Entry &entry : release.ini.entries()) {
        QStringList fields = entry.fields();
        if (entry.isPacked() && m_brokenSums.contains(entry.installedPath()))
            fields[2] = QString::fromLatin1(ReleaseFixture::md5Hex("something else"));
        ini.addRaw(entry.section, entry.key, fields.join(QStringLiteral("::")));
    }
    for (const QString &name : release.ini.deletes())
        ini.addDelete(name);
    for (const RawEntry &entry : m_raw) {
        if (entry.section == ProductIni::DeleteSection)
            ini.addDelete(entry.key);
        else
            ini.addRaw(entry.section, entry.key, entry.value);
    }
    QString error;
    if (!ReleaseFixture::writeSignedIni(release.productIniPath, ini, &error)) {
        qWarning() << "product ini not written:" << error;
        return false;
    }
    return true;
}

bool PipelineRelease::writeMirrorsIni(const QString &path, const QStringList &addresses)
{
    QByteArray text = "[mirrors]\nsize=" + QByteArray::number(addresses.size()) + "\n";
    for (int i = 0; i < addresses.size(); ++i)
        text += QByteArray::number(i + 1) + "\\mirror=m" + QByteArray::number(i) + "\n";
    for (int i = 0; i < addresses.size(); ++i)
        text += "[m" + QByteArray::number(i) + "]\nurl=" + addresses.at(i).toUtf8() + "\nretries=2\n";
    return TestDirs::writeFile(path, text);
}
