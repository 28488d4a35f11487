#ifndef RELEASEFIXTURE_H
#define RELEASEFIXTURE_H

#include "productini.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

class ReleaseKey;

// Signed release fixtures for tests: builds, in one call, a version directory
// that a fake mirror can serve and that the updater accepts with the key built
// into this build.
//
//   QTemporaryDir mirror;
//   auto r = ReleaseFixture::build(mirror.path(), 7, {{"update", "#!/bin/sh\n"},
//                                                     {"data/pak0.pak", bigBytes}});
//   QVERIFY2(r.ok, qPrintable(r.error));
//   // mirror.path()/7/client_linux_x86.ini (+ .sig), mirror.path()/7/client/update, ...
//   const QByteArray sum = ReleaseFixture::md5Hex(bigBytes);
//
// Options select packing, deletions and the change log:
//   ReleaseFixture::Options o;
//   o.pack = {"data/pak0.pak"};            // published as client/data/pak0.pak.gz, 5-field entry
//   o.deletes = {"old.txt"};               // "delete" section
//   o.changeLog = "Fixed things\n";        // changelog_client.txt
//
// For manifests a builder would refuse (malformed lines, wrong sums, files that
// are not on the mirror), compose a ProductIni and sign it:
//   ProductIni ini;
//   ini.addRaw("client", "update", "abc::12::");
//   QVERIFY(ReleaseFixture::writeSignedIni(dir + "/client_linux_x86.ini", ini));
//
// The signing key is the private half of the build's public key: the
// development pair unless the build names other key files.
class ReleaseFixture
{
public:
    struct Options
    {
        QString clientType = QStringLiteral("client_linux_x86");
        QString section = QStringLiteral("client");
        QStringList pack;          // patterns as ReleaseBuilder::addPackPattern takes them
        QStringList deletes;       // paths for the "delete" section
        QString previous;          // a previous product ini, version directory or staged directory
        QByteArray changeLog;      // published as "changelog_client.txt" unless null
        bool replaceExisting = true;
    };

    struct Release
    {
        bool ok = false;
        QString error;             // why the build failed
        QString versionDir;        // <mirror root>/<version>
        QString productIniPath;    // <version dir>/<client type>.ini; its signature beside it
        ProductIni ini;            // the manifest as written
    };

    // `files` maps relative paths (with "/") to contents; they are staged in a
    // temporary directory that is gone when this returns.
    static Release build(const QString &mirrorRoot, int version, const QMap<QString, QByteArray> &files,
                         const Options &options);
    static Release build(const QString &mirrorRoot, int version, const QMap<QString, QByteArray> &files);

    // The private key whose public half is built into the updater.
    static const ReleaseKey &signingKey();

    // Writes `content` to `path` and its signature to `path` + ".sig".
    static bool writeSigned(const QString &path, const QByteArray &content, QString *error = nullptr);
    // Writes the manifest's text to `path` and signs it.
    static bool writeSignedIni(const QString &path, const ProductIni &ini, QString *error = nullptr);
    // Signs an existing file (after a test edited it, say).
    static bool signFile(const QString &path, QString *error = nullptr);

    // 32 lower-case hexadecimal digits.
    static QByteArray md5Hex(const QByteArray &data);
    // The gzip file format, as the updater unpacks it.
    static QByteArray gzip(const QByteArray &data);
    // Writes a file, creating its parent directories.
    static bool writeFile(const QString &path, const QByteArray &content);
};

#endif
