#ifndef PRODUCTINI_H
#define PRODUCTINI_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The manifest of one release as the updater reads it: file sections, whose
// keys are relative paths and whose values are "md5::size" (plain) or
// "md5::size::unpacked md5::unpacked size::unpacked name" (packed), and the
// "delete" section of paths the release no longer has. The text is written and
// read with Qt's INI settings reader, so keys and values round-trip with its
// escaping; sections and keys come out sorted.
class ProductIni
{
public:
    struct Entry
    {
        QString section;
        QString key;    // relative path on the mirror below the section, and inside the working directory
        QString value;  // as written; see the fields below for well-formed values

        QStringList fields() const;          // value split at "::", empty fields kept
        bool isPacked() const { return fields().size() == 5; }
        // Relative path in the installation: the unpacked name of a packed entry, else the key.
        QString installedPath() const;
    };

    static const QString DeleteSection;     // "delete"

    // A plain entry: the file is installed as downloaded.
    void addFile(const QString &section, const QString &path, const QByteArray &md5Hex, quint64 size);
    // A gzip-packed entry stored under `packedPath`, unpacked to `unpackedName`.
    void addPacked(const QString &section, const QString &packedPath, const QByteArray &md5Hex,
                   quint64 size, const QByteArray &unpackedMd5Hex, quint64 unpackedSize,
                   const QString &unpackedName);
    // Any value, well-formed or not (tests of malformed manifests use this).
    void addRaw(const QString &section, const QString &key, const QString &value);
    // A path, relative to the installation, that the release no longer contains.
    void addDelete(const QString &path);

    const QList<Entry> &entries() const { return m_entries; }
    const QStringList &deletes() const { return m_deletes; }
    // Installed paths of all file entries.
    QStringList installedPaths() const;
    bool isEmpty() const { return m_entries.isEmpty() && m_deletes.isEmpty(); }

    // The file's text. Fails (empty result, `error` set) only when the settings
    // writer fails or a key cannot be represented (a backslash in a path).
    QByteArray toBytes(QString *error = nullptr) const;
    // Reads a product ini; a missing or unreadable file is an error, an empty one is not.
    static bool read(const QString &path, ProductIni *out, QString *error = nullptr);
    static bool fromBytes(const QByteArray &text, ProductIni *out, QString *error = nullptr);

private:
    QList<Entry> m_entries;
    QStringList m_deletes;
};

#endif
