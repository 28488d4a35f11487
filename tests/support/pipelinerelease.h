#ifndef PIPELINERELEASE_H
#define PIPELINERELEASE_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// A client release described file by file and published with the release library as mirrors
// serve it (<root>/<version>/client/..., the product ini and its signature). Entries the
// release builder would refuse (broken lines, hostile paths, wrong sums) are written into
// the product ini afterwards and signed again, as a compromised or faulty publisher might.
class PipelineRelease
{
public:
    explicit PipelineRelease(int version);

    // A file installed unchanged at name.
    void addFile(const QString &name, const QByteArray &content);
    // A file shipped gzip-compressed as name + ".gz" and installed at name.
    void addPackedFile(const QString &name, const QByteArray &content);
    void addDelete(const QString &name);
    // An entry written into the product ini as it stands.
    void addRawEntry(const QString &section, const QString &key, const QString &value);
    // Gives a packed file a wrong unpacked sum in the product ini.
    void breakUnpackedSum(const QString &name);

    // Publishes the release below root; false (with a warning) if that failed.
    bool writeTo(const QString &root) const;

    int version() const { return m_version; }
    // Installed relative path -> content, as the release wants the installation.
    QMap<QString, QByteArray> installed() const { return m_files; }

    // Writes a "mirrors.ini" listing one mirror per address under the names m0, m1, ...
    static bool writeMirrorsIni(const QString &path, const QStringList &addresses);

private:
    struct RawEntry
    {
        QString section;
        QString key;
        QString value;
    };

    int m_version;
    QMap<QString, QByteArray> m_files;
    QStringList m_packed;
    QStringList m_deletes;
    QList<RawEntry> m_raw;
    QStringList m_brokenSums;
};

#endif
