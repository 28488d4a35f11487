#ifndef PIPELINERELEASE_H
#define PIPELINERELEASE_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// A client release laid out as mirrors serve it: <root>/<version>/<section>/<file>, the
// product ini <root>/<version>/<type>.ini and its signature made with the development key.
// Tests describe the release file by file and compare an installation with installed().
class PipelineRelease
{
public:
    PipelineRelease(int version, const QString &clientType = QStringLiteral("client_linux_x86"));

    // A file installed unchanged at name.
    void addFile(const QString &name, const QByteArray &content, const QString &section = QStringLiteral("client"));
    // A file shipped gzip-compressed as name + ".gz" and installed at unpackedName.
    void addPackedFile(const QString &unpackedName, const QByteArray &content,
                       const QString &section = QStringLiteral("client"));
    void addDelete(const QString &name);
    // Lines appended to the product ini as they stand (broken or hostile entries).
    void addRawIniLines(const QByteArray &lines);
    // Gives a packed file a wrong unpacked sum in the product ini.
    void breakUnpackedSum(const QString &unpackedName);

    // Writes the release below root; false if anything could not be written or signed.
    bool writeTo(const QString &root) const;
    QByteArray productIni() const;

    int version() const { return m_version; }
    QString clientType() const { return m_clientType; }
    QString iniName() const { return m_clientType + QStringLiteral(".ini"); }
    // The remote path of an entry's downloaded file below the version directory ("client/a.txt").
    QString remotePath(const QString &installedName) const;
    // Installed relative path -> content, as the release wants the installation.
    QMap<QString, QByteArray> installed() const;
    QStringList deletes() const { return m_deletes; }

    // Signs bytes with the development key (raw RSASSA-PSS signature).
    static QByteArray sign(const QByteArray &content);
    // Writes a "mirrors.ini" listing one mirror per address under the names m0, m1, ...
    static bool writeMirrorsIni(const QString &path, const QStringList &addresses);

private:
    struct Entry
    {
        QString section;
        QString key;
        QByteArray content;
        QString unpackedName;
        bool brokenSum = false;
    };

    int m_version;
    QString m_clientType;
    QList<Entry> m_entries;
    QStringList m_deletes;
    QByteArray m_rawLines;
};

#endif
