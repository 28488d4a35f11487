#include "pipelinerelease.h"

#include "testdirs.h"
#include "tomcryptutil.h"
#include "treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

namespace {

QString developmentKeyPath()
{
    return QFileInfo(QStringLiteral(__FILE__)).absoluteDir().absoluteFilePath(
        QStringLiteral("../../keys/development-private.key"));
}

} // namespace

PipelineRelease::PipelineRelease(int version, const QString &clientType)
    : m_version(version)
    , m_clientType(clientType)
{
}

void PipelineRelease::addFile(const QString &name, const QByteArray &content, const QString &section)
{
    m_entries.append(Entry{section, name, content, QString(), false});
}

void PipelineRelease::addPackedFile(const QString &unpackedName, const QByteArray &content, const QString &section)
{
    m_entries.append(Entry{section, unpackedName + QStringLiteral(".gz"), content, unpackedName, false});
}

void PipelineRelease::addDelete(const QString &name)
{
    m_deletes.append(name);
}

void PipelineRelease::addRawIniLines(const QByteArray &lines)
{
    m_rawLines += lines;
}

void PipelineRelease::breakUnpackedSum(const QString &unpackedName)
{
    for (Entry &entry : m_entries) {
        if (entry.unpackedName == unpackedName)
            entry.brokenSum = true;
    }
}

QString PipelineRelease::remotePath(const QString &installedName) const
{
    for (const Entry &entry : m_entries) {
        if (entry.key == installedName || entry.unpackedName == installedName)
            return entry.section + QLatin1Char('/') + entry.key;
    }
    return QString();
}

QMap<QString, QByteArray> PipelineRelease::installed() const
{
    QMap<QString, QByteArray> result;
    for (const Entry &entry : m_entries)
        result.insert(entry.unpackedName.isEmpty() ? entry.key : entry.unpackedName, entry.content);
    return result;
}

QByteArray PipelineRelease::productIni() const
{
    QTemporaryFile file;
    if (!file.open())
        return QByteArray();
    file.close();
    {
        QSettings ini(file.fileName(), QSettings::IniFormat);
        for (const Entry &entry : m_entries) {
            QString value;
            if (entry.unpackedName.isEmpty()) {
                value = QStringLiteral("%1::%2").arg(md5Hex(entry.content)).arg(entry.content.size());
            } else {
                const QByteArray packed = gzipBytes(entry.content);
                value = QStringLiteral("%1::%2::%3::%4::%5")
                            .arg(md5Hex(packed))
                            .arg(packed.size())
                            .arg(entry.brokenSum ? md5Hex(entry.content + "x") : md5Hex(entry.content))
                            .arg(entry.content.size())
                            .arg(entry.unpackedName);
            }
            ini.setValue(entry.section + QLatin1Char('/') + entry.key, value);
        }
        for (const QString &name : m_deletes)
            ini.setValue(QStringLiteral("delete/") + name, QString());
        ini.sync();
    }
    QFile written(file.fileName());
    if (!written.open(QIODevice::ReadOnly))
        return QByteArray();
    return written.readAll() + m_rawLines;
}

bool PipelineRelease::writeTo(const QString &root) const
{
    const QString base = root + QLatin1Char('/') + QString::number(m_version) + QLatin1Char('/');
    for (const Entry &entry : m_entries) {
        const QByteArray bytes = entry.unpackedName.isEmpty() ? entry.content : gzipBytes(entry.content);
        if (!TestDirs::writeFile(base + entry.section + QLatin1Char('/') + entry.key, bytes))
            return false;
    }
    const QByteArray ini = productIni();
    const QByteArray signature = sign(ini);
    return !ini.isEmpty() && !signature.isEmpty() && TestDirs::writeFile(base + iniName(), ini)
           && TestDirs::writeFile(base + iniName() + QStringLiteral(".sig"), signature);
}

QByteArray PipelineRelease::sign(const QByteArray &content)
{
    try {
        crypt_init();
        Rsa_key key{};
        load_key(&key, QFile::encodeName(developmentKeyPath()).constData());
        QByteArray signature(512, '\0');
        unsigned long length = signature.size();
        try {
            sign_msg(&key, reinterpret_cast<const unsigned char *>(content.constData()), content.size(),
                     reinterpret_cast<unsigned char *>(signature.data()), &length);
        } catch (const crypt_exception &) {
            rsa_free(&key);
            return QByteArray();
        }
        rsa_free(&key);
        signature.truncate(int(length));
        return signature;
    } catch (const crypt_exception &) {
        return QByteArray();
    }
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
