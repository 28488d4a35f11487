#include "productini.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString field(const QByteArray &md5Hex, quint64 size)
{
    return QString::fromLatin1(md5Hex) + QStringLiteral("::") + QString::number(size);
}

} // namespace

const QString ProductIni::DeleteSection = QStringLiteral("delete");

QStringList ProductIni::Entry::fields() const
{
    return value.split(QStringLiteral("::"), Qt::KeepEmptyParts);
}

QString ProductIni::Entry::installedPath() const
{
    const QStringList f = fields();
    return f.size() == 5 ? f.at(4) : key;
}

void ProductIni::addFile(const QString &section, const QString &path, const QByteArray &md5Hex,
                         quint64 size)
{
    addRaw(section, path, field(md5Hex, size));
}

void ProductIni::addPacked(const QString &section, const QString &packedPath, const QByteArray &md5Hex,
                           quint64 size, const QByteArray &unpackedMd5Hex, quint64 unpackedSize,
                           const QString &unpackedName)
{
    addRaw(section, packedPath,
           field(md5Hex, size) + QStringLiteral("::") + field(unpackedMd5Hex, unpackedSize)
               + QStringLiteral("::") + unpackedName);
}

void ProductIni::addRaw(const QString &section, const QString &key, const QString &value)
{
    m_entries.append(Entry{section, key, value});
}

void ProductIni::addDelete(const QString &path)
{
    m_deletes.append(path);
}

QStringList ProductIni::installedPaths() const
{
    QStringList paths;
    for (const Entry &e : m_entries)
        paths.append(e.installedPath());
    return paths;
}

QByteArray ProductIni::toBytes(QString *error) const
{
    // The settings writer's own escaping is the one the updater's reader undoes,
    // so let it write the text into a scratch file.
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        setError(error, QStringLiteral("Cannot create a temporary directory: %1").arg(scratch.errorString()));
        return QByteArray();
    }
    const QString path = scratch.filePath(QStringLiteral("product.ini"));
    {
        QSettings settings(path, QSettings::IniFormat);
        for (const Entry &e : m_entries) {
            if (e.key.contains(QLatin1Char('\\')) || e.section.contains(QLatin1Char('\\'))) {
                setError(error, QStringLiteral("Cannot list %1/%2: a backslash cannot appear in a product ini key")
                                    .arg(e.section, e.key));
                return QByteArray();
            }
            settings.setValue(e.section + QLatin1Char('/') + e.key, e.value);
        }
        for (const QString &d : m_deletes) {
            if (d.contains(QLatin1Char('\\'))) {
                setError(error, QStringLiteral("Cannot list %1 for deletion: a backslash cannot appear in a product ini key")
                                    .arg(d));
                return QByteArray();
            }
            settings.setValue(DeleteSection + QLatin1Char('/') + d, QString());
        }
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            setError(error, QStringLiteral("Cannot write the product ini text"));
            return QByteArray();
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Nothing written at all is an empty manifest, not an error.
        if (isEmpty())
            return QByteArray("");
        setError(error, QStringLiteral("Cannot read back the product ini text: %1").arg(file.errorString()));
        return QByteArray();
    }
    return file.readAll();
}

bool ProductIni::read(const QString &path, ProductIni *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("Cannot read product ini %1: %2").arg(path, file.errorString()));
        return false;
    }
    file.close();
    *out = ProductIni();
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        setError(error, QStringLiteral("Cannot parse product ini %1").arg(path));
        return false;
    }
    for (const QString &section : settings.childGroups()) {
        settings.beginGroup(section);
        for (const QString &key : settings.allKeys()) {
            if (section == DeleteSection)
                out->addDelete(key);
            else
                out->addRaw(section, key, settings.value(key).toString());
        }
        settings.endGroup();
    }
    return true;
}

bool ProductIni::fromBytes(const QByteArray &text, ProductIni *out, QString *error)
{
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("product.ini"));
    QFile file(path);
    if (!scratch.isValid() || !file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        setError(error, QStringLiteral("Cannot create a scratch file to parse the product ini"));
        return false;
    }
    file.close();
    return read(path, out, error);
}
