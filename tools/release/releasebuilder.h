#ifndef RELEASEBUILDER_H
#define RELEASEBUILDER_H

#include "productini.h"

#include <QString>
#include <QStringList>

class ReleaseKey;

// Builds the version directory that the mirrors serve for one release:
//
//   <mirror root>/<version>/<client type>.ini          the product ini
//   <mirror root>/<version>/<client type>.ini.sig      its signature
//   <mirror root>/<version>/<section>/<relative path>  every staged file
//   <mirror root>/<version>/<section>/<path>.gz        ... or its gzip-packed form
//   <mirror root>/<version>/changelog_client.txt       the change log, when given
//
// The staged directory holds the client exactly as it is to be installed;
// every regular file below it becomes one entry, keyed by its relative path.
// A packed file is listed under its path plus ".gz" and unpacks to its path.
//
// Usage:
//   ReleaseBuilder b;
//   b.setStageDir(stage); b.setMirrorRoot(root); b.setVersion(42);
//   b.setClientType("client_linux_x86"); b.setSection("client");
//   b.setSigningKey(&key);                 // a private key
//   b.addPackPattern("*.so");              // optional
//   b.setPrevious(oldIniOrDir);            // optional: computes the "delete" section
//   b.setChangeLog(textFile);              // optional
//   if (!b.build()) qWarning() << b.errorString();
//
// On failure nothing is left behind: a version directory the build created is
// removed again, and the product ini and its signature appear only together
// (each written to a temporary file and renamed). The error says what happened.
class ReleaseBuilder
{
public:
    ReleaseBuilder();

    void setStageDir(const QString &dir) { m_stageDir = dir; }
    // The directory that holds the version directories (the mirror's base).
    void setMirrorRoot(const QString &dir) { m_mirrorRoot = dir; }
    void setVersion(int version) { m_version = version; }
    // The product ini's base name; the updater's default is "client_linux_x86".
    void setClientType(const QString &type) { m_clientType = type; }
    // The directory on the mirror that holds the files; a plain name.
    void setSection(const QString &section) { m_section = section; }
    // Borrowed; must outlive build(). A public key is refused.
    void setSigningKey(const ReleaseKey *key) { m_key = key; }

    // Files to pack with gzip. A pattern with "/" matches the whole relative
    // path, one without matches the file name in any directory; "*", "?" and
    // "[...]" are wildcards. A pattern that matches no file is an error.
    void addPackPattern(const QString &pattern) { m_packPatterns.append(pattern); }
    // The previous release, to list files it had and this one lacks under "delete":
    // a product ini file, a version directory holding "<client type>.ini", or the
    // previous staged directory. Its own "delete" entries are carried over
    // unless this release brings the file back.
    void setPrevious(const QString &path) { m_previous = path; }
    // Adds a path (relative to the installation) to the "delete" section directly.
    void addDelete(const QString &path) { m_extraDeletes.append(path); }
    // A text file published as "changelog_client.txt".
    void setChangeLog(const QString &path) { m_changeLog = path; }
    // Replace an existing non-empty version directory instead of failing.
    void setReplaceExisting(bool replace) { m_replaceExisting = replace; }

    bool build();

    QString errorString() const { return m_error; }
    QString versionDir() const;
    QString productIniPath() const;
    // The manifest that was written (valid after a successful build).
    const ProductIni &productIni() const { return m_ini; }

private:
    struct StagedFile
    {
        QString relativePath;
        bool packed = false;
    };

    bool fail(const QString &text);
    bool validate();
    bool collectStagedFiles(QList<StagedFile> *files);
    bool applyPackPatterns(QList<StagedFile> *files);
    bool loadPrevious(QStringList *installed, QStringList *deleted);
    bool prepareVersionDir(bool *created);
    bool publishFile(const StagedFile &file);
    bool writeManifest();

    QString m_stageDir;
    QString m_mirrorRoot;
    int m_version = -1;
    QString m_clientType = QStringLiteral("client_linux_x86");
    QString m_section;
    const ReleaseKey *m_key = nullptr;
    QStringList m_packPatterns;
    QString m_previous;
    QStringList m_extraDeletes;
    QString m_changeLog;
    bool m_replaceExisting = false;

    ProductIni m_ini;
    QString m_error;
};

#endif
