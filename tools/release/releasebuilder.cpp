#include "releasebuilder.h"

#include "releasekey.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <zlib.h>

#include <algorithm>
#include <memory>

namespace {

const qint64 ChunkSize = 1024 * 1024;

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool isInside(const QString &path, const QString &dir)
{
    return path == dir || path.startsWith(dir + QLatin1Char('/'));
}

// Files below `root` (hidden ones too, through linked directories), as sorted
// relative paths. Entries that are not regular files (broken links, sockets,
// devices) go to `irregular` rather than vanishing from a release unnoticed.
QStringList filesBelow(const QString &root, QStringList *irregular = nullptr)
{
    QStringList files;
    const QString absRoot = cleanAbsolute(root);
    const QDir base(absRoot);
    QDirIterator it(absRoot, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (it.fileInfo().isFile())
            files.append(relative);
        else if (!it.fileInfo().isDir() && irregular)
            irregular->append(relative);
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool ensureParent(const QString &path, QString *error)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (QDir().mkpath(dir))
        return true;
    *error = QStringLiteral("Cannot create directory %1").arg(dir);
    return false;
}

// Reads `in` (opened from `src`) to its end in chunks, hashing every chunk and handing it
// to `write`, which returns false when it cannot take it; `dst` names the target in errors.
template <typename Write>
bool streamAndHash(QFile &in, const QString &src, const QString &dst, Write write, QByteArray *md5,
                   quint64 *size, QString *error)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    quint64 total = 0;
    QByteArray buf(ChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buf.data(), buf.size());
        if (n < 0) {
            *error = QStringLiteral("Cannot read %1: %2").arg(src, in.errorString());
            return false;
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buf.constData(), n));
        if (!write(buf.constData(), n)) {
            *error = QStringLiteral("Cannot write %1").arg(dst);
            return false;
        }
        total += quint64(n);
    }
    *md5 = hash.result().toHex();
    *size = total;
    return true;
}

// Streams `src` into `dst`, hashing what it reads: one pass, constant memory.
bool copyAndHash(const QString &src, const QString &dst, QByteArray *md5, quint64 *size, QString *error)
{
    QFile in(src);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(src, in.errorString());
        return false;
    }
    if (!ensureParent(dst, error))
        return false;
    QFile out(dst);
    const auto writeError = [&] {
        *error = QStringLiteral("Cannot write %1: %2").arg(dst, out.errorString());
        return false;
    };
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return writeError();
    const auto write = [&out](const char *data, qint64 n) { return out.write(data, n) == n; };
    if (!streamAndHash(in, src, dst, write, md5, size, error)) {
        if (out.error() != QFileDevice::NoError)
            return writeError();
        return false;
    }
    if (!out.flush())
        return writeError();
    out.close();
    if (out.error() != QFileDevice::NoError)
        return writeError();
    return true;
}

bool hashFile(const QString &path, QByteArray *md5, quint64 *size, QString *error)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(path, in.errorString());
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&in)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(path, in.errorString());
        return false;
    }
    *md5 = hash.result().toHex();
    *size = quint64(in.size());
    return true;
}

struct GzCloser
{
    void operator()(gzFile_s *f) const { gzclose(f); }
};

// Packs `src` into the gzip file `dst`, hashing the unpacked bytes on the way.
bool gzipAndHash(const QString &src, const QString &dst, QByteArray *md5, quint64 *size, QString *error)
{
    QFile in(src);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(src, in.errorString());
        return false;
    }
    if (!ensureParent(dst, error))
        return false;
    std::unique_ptr<gzFile_s, GzCloser> out(gzopen(QFile::encodeName(dst).constData(), "wb"));
    if (!out) {
        *error = QStringLiteral("Cannot write %1").arg(dst);
        return false;
    }
    const auto write = [&out](const char *data, qint64 n) {
        return gzwrite(out.get(), data, unsigned(n)) == int(n);
    };
    if (!streamAndHash(in, src, dst, write, md5, size, error))
        return false;
    if (gzclose(out.release()) != Z_OK) {
        *error = QStringLiteral("Cannot write %1").arg(dst);
        return false;
    }
    return true;
}

bool hasWildcard(const QString &pattern)
{
    return pattern.contains(QLatin1Char('*')) || pattern.contains(QLatin1Char('?'))
           || pattern.contains(QLatin1Char('['));
}

bool matchesPattern(const QString &pattern, const QString &relativePath)
{
    const bool wholePath = pattern.contains(QLatin1Char('/'));
    const QString subject = wholePath ? relativePath : QFileInfo(relativePath).fileName();
    if (!hasWildcard(pattern))
        return subject == pattern;
    const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern));
    return re.match(subject).hasMatch();
}

} // namespace

ReleaseBuilder::ReleaseBuilder() = default;

QString ReleaseBuilder::versionDir() const
{
    return QDir(m_mirrorRoot).filePath(QString::number(m_version));
}

QString ReleaseBuilder::productIniPath() const
{
    return QDir(versionDir()).filePath(m_clientType + QStringLiteral(".ini"));
}

bool ReleaseBuilder::fail(const QString &text)
{
    m_error = text;
    return false;
}

bool ReleaseBuilder::validate()
{
    if (m_stageDir.isEmpty() || !QFileInfo(m_stageDir).isDir())
        return fail(QStringLiteral("Staged client directory %1 does not exist").arg(m_stageDir));
    if (m_mirrorRoot.isEmpty())
        return fail(QStringLiteral("No output directory given"));
    if (m_version < 0)
        return fail(QStringLiteral("The version number must be a non-negative integer"));
    if (m_clientType.isEmpty() || m_clientType.contains(QLatin1Char('/'))
        || m_clientType.contains(QLatin1Char('\\')) || m_clientType == QLatin1String(".")
        || m_clientType == QLatin1String(".."))
        return fail(QStringLiteral("Invalid client type \"%1\": it names a file, without \"/\"").arg(m_clientType));
    // The section is a directory name on the mirror and an INI section of its own:
    // "delete" has another meaning and "General" reads as no section at all.
    if (m_section.isEmpty() || m_section.contains(QLatin1Char('/')) || m_section.contains(QLatin1Char('\\'))
        || m_section == QLatin1String(".") || m_section == QLatin1String("..")
        || m_section == ProductIni::DeleteSection
        || m_section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0
        || m_section == m_clientType + QStringLiteral(".ini")
        || m_section == m_clientType + QStringLiteral(".ini.sig")
        || m_section == QLatin1String("changelog_client.txt"))
        return fail(QStringLiteral("Invalid section name \"%1\": it must be a plain directory name other than "
                                   "\"delete\" and \"General\"")
                        .arg(m_section));
    if (!m_key || m_key->isNull())
        return fail(QStringLiteral("No signing key given"));
    if (!m_key->isPrivate())
        return fail(QStringLiteral("The signing key is a public key; signing needs the private key file"));
    if (isInside(cleanAbsolute(versionDir()), cleanAbsolute(m_stageDir))
        || isInside(cleanAbsolute(m_stageDir), cleanAbsolute(versionDir())))
        return fail(QStringLiteral("The version directory %1 and the staged directory %2 must not contain each other")
                        .arg(versionDir(), m_stageDir));
    if (!m_changeLog.isEmpty() && !QFileInfo(m_changeLog).isFile())
        return fail(QStringLiteral("Change log %1 does not exist").arg(m_changeLog));
    return true;
}

bool ReleaseBuilder::collectStagedFiles(QList<StagedFile> *files)
{
    QStringList irregular;
    const QStringList staged = filesBelow(m_stageDir, &irregular);
    if (!irregular.isEmpty())
        return fail(QStringLiteral("%1 in the staged directory is not a regular file (a broken link, a socket "
                                   "or a device)")
                        .arg(irregular.first()));
    for (const QString &path : staged) {
        if (path.contains(QLatin1Char('\\')))
            return fail(QStringLiteral("Cannot publish %1: a backslash cannot appear in a product ini key").arg(path));
        files->append(StagedFile{path, false});
    }
    if (files->isEmpty())
        return fail(QStringLiteral("Staged client directory %1 holds no files").arg(m_stageDir));
    return true;
}

bool ReleaseBuilder::applyPackPatterns(QList<StagedFile> *files)
{
    for (const QString &pattern : m_packPatterns) {
        bool matched = false;
        for (StagedFile &f : *files) {
            if (matchesPattern(pattern, f.relativePath)) {
                f.packed = true;
                matched = true;
            }
        }
        if (!matched)
            return fail(QStringLiteral("Pack pattern \"%1\" matches no staged file").arg(pattern));
    }
    QSet<QString> keys;
    for (const StagedFile &f : *files) {
        const QString key = f.packed ? f.relativePath + QStringLiteral(".gz") : f.relativePath;
        if (keys.contains(key))
            return fail(QStringLiteral("Two staged files would be published as %1; rename one or pack neither")
                            .arg(key));
        keys.insert(key);
    }
    return true;
}

bool ReleaseBuilder::loadPrevious(QStringList *installed, QStringList *deleted)
{
    if (m_previous.isEmpty())
        return true;
    const QFileInfo info(m_previous);
    QString iniPath;
    if (info.isFile())
        iniPath = m_previous;
    else if (info.isDir() && QFileInfo(QDir(m_previous).filePath(m_clientType + QStringLiteral(".ini"))).isFile())
        iniPath = QDir(m_previous).filePath(m_clientType + QStringLiteral(".ini"));
    else if (info.isDir()) {
        *installed = filesBelow(m_previous);
        return true;
    } else {
        return fail(QStringLiteral("Previous release %1 does not exist").arg(m_previous));
    }
    ProductIni previous;
    QString error;
    if (!ProductIni::read(iniPath, &previous, &error))
        return fail(error);
    if (previous.isEmpty())
        return fail(QStringLiteral("Previous product ini %1 lists no files").arg(iniPath));
    *installed = previous.installedPaths();
    *deleted = previous.deletes();
    return true;
}

bool ReleaseBuilder::prepareVersionDir(bool *created)
{
    const QString dir = versionDir();
    QDir d(dir);
    if (d.exists() && !d.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (!m_replaceExisting)
            return fail(QStringLiteral("Version directory %1 already exists and is not empty").arg(dir));
        if (!d.removeRecursively())
            return fail(QStringLiteral("Cannot remove the existing version directory %1").arg(dir));
    }
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("Cannot create directory %1").arg(dir));
    *created = true;
    return true;
}

bool ReleaseBuilder::publishFile(const StagedFile &file)
{
    const QString src = QDir(m_stageDir).filePath(file.relativePath);
    const QString sectionDir = QDir(versionDir()).filePath(m_section);
    QByteArray md5;
    quint64 size = 0;
    QString error;
    if (!file.packed) {
        if (!copyAndHash(src, QDir(sectionDir).filePath(file.relativePath), &md5, &size, &error))
            return fail(error);
        m_ini.addFile(m_section, file.relativePath, md5, size);
        return true;
    }
    const QString key = file.relativePath + QStringLiteral(".gz");
    const QString dst = QDir(sectionDir).filePath(key);
    QByteArray packedMd5;
    quint64 packedSize = 0;
    if (!gzipAndHash(src, dst, &md5, &size, &error) || !hashFile(dst, &packedMd5, &packedSize, &error))
        return fail(error);
    m_ini.addPacked(m_section, key, packedMd5, packedSize, md5, size, file.relativePath);
    return true;
}

bool ReleaseBuilder::writeManifest()
{
    QString error;
    const QByteArray text = m_ini.toBytes(&error);
    if (text.isNull())
        return fail(error);

    // The updater reads this text with the same reader; anything that does not
    // come back as written would be a broken release.
    ProductIni readBack;
    if (!ProductIni::fromBytes(text, &readBack, &error))
        return fail(error);
    auto sortedEntries = [](QList<ProductIni::Entry> list) {
        QStringList lines;
        for (const ProductIni::Entry &e : list)
            lines.append(e.section + QLatin1Char('\n') + e.key + QLatin1Char('\n') + e.value);
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    QStringList deletesWritten = m_ini.deletes();
    QStringList deletesRead = readBack.deletes();
    std::sort(deletesWritten.begin(), deletesWritten.end());
    std::sort(deletesRead.begin(), deletesRead.end());
    if (sortedEntries(m_ini.entries()) != sortedEntries(readBack.entries()) || deletesWritten != deletesRead)
        return fail(QStringLiteral("The product ini does not read back as written; a file name cannot be "
                                   "represented in it"));

    const QByteArray sig = m_key->sign(text, &error);
    if (sig.isEmpty())
        return fail(QStringLiteral("Cannot sign the product ini: %1").arg(error));
    if (!m_key->verify(text, sig, &error))
        return fail(QStringLiteral("The fresh signature does not verify: %1").arg(error));

    const QString iniPath = productIniPath();
    if (!ReleaseIo::writeAtomic(iniPath, text, &error))
        return fail(error);
    if (!ReleaseIo::writeAtomic(iniPath + QStringLiteral(".sig"), sig, &error)) {
        QFile::remove(iniPath);
        return fail(QStringLiteral("%1; the product ini %2 was removed again").arg(error, iniPath));
    }
    return true;
}

bool ReleaseBuilder::build()
{
    m_error.clear();
    m_ini = ProductIni();
    if (!validate())
        return false;

    QList<StagedFile> files;
    if (!collectStagedFiles(&files) || !applyPackPatterns(&files))
        return false;

    QStringList previousInstalled;
    QStringList previousDeleted;
    if (!loadPrevious(&previousInstalled, &previousDeleted))
        return false;
    QSet<QString> current;
    for (const StagedFile &f : files)
        current.insert(f.relativePath);
    for (const QString &d : m_extraDeletes) {
        if (current.contains(d))
            return fail(QStringLiteral("%1 is listed for deletion but is part of this release").arg(d));
    }
    QStringList deletes;
    for (const QString &d : previousInstalled + previousDeleted + m_extraDeletes) {
        if (!current.contains(d) && !deletes.contains(d))
            deletes.append(d);
    }
    std::sort(deletes.begin(), deletes.end());

    bool created = false;
    if (!prepareVersionDir(&created))
        return false;

    bool ok = true;
    for (const StagedFile &f : files) {
        if (!publishFile(f)) {
            ok = false;
            break;
        }
    }
    if (ok) {
        for (const QString &d : deletes)
            m_ini.addDelete(d);
        if (!m_changeLog.isEmpty()) {
            QByteArray md5;
            quint64 size = 0;
            QString error;
            if (!copyAndHash(m_changeLog, QDir(versionDir()).filePath(QStringLiteral("changelog_client.txt")),
                             &md5, &size, &error))
                ok = fail(error);
        }
    }
    if (ok)
        ok = writeManifest();
    if (!ok && created) {
        QDir(versionDir()).removeRecursively();
        m_error += QStringLiteral(" (the incomplete version directory %1 was removed)").arg(versionDir());
    }
    return ok;
}
