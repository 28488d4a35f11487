#include "releasefixture.h"

#include "releasebuilder.h"
#include "releasekey.h"
#include "testsigningkey.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <zlib.h>

ReleaseFixture::Release ReleaseFixture::build(const QString &mirrorRoot, int version,
                                              const QMap<QString, QByteArray> &files, const Options &options)
{
    Release release;
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        release.error = QStringLiteral("Cannot create a staging directory: %1").arg(scratch.errorString());
        return release;
    }
    const QString stage = scratch.filePath(QStringLiteral("stage"));
    QDir().mkpath(stage);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(QDir(stage).filePath(it.key()), it.value())) {
            release.error = QStringLiteral("Cannot stage %1").arg(it.key());
            return release;
        }
    }
    QString changeLog;
    if (!options.changeLog.isNull()) {
        changeLog = scratch.filePath(QStringLiteral("changelog.txt"));
        if (!writeFile(changeLog, options.changeLog)) {
            release.error = QStringLiteral("Cannot stage the change log");
            return release;
        }
    }

    ReleaseBuilder builder;
    builder.setStageDir(stage);
    builder.setMirrorRoot(mirrorRoot);
    builder.setVersion(version);
    builder.setClientType(options.clientType);
    builder.setSection(options.section);
    builder.setSigningKey(&signingKey());
    for (const QString &p : options.pack)
        builder.addPackPattern(p);
    for (const QString &d : options.deletes)
        builder.addDelete(d);
    builder.setPrevious(options.previous);
    builder.setChangeLog(changeLog);
    builder.setReplaceExisting(options.replaceExisting);

    release.ok = builder.build();
    release.error = builder.errorString();
    release.versionDir = builder.versionDir();
    release.productIniPath = builder.productIniPath();
    release.ini = builder.productIni();
    return release;
}

ReleaseFixture::Release ReleaseFixture::build(const QString &mirrorRoot, int version,
                                              const QMap<QString, QByteArray> &files)
{
    return build(mirrorRoot, version, files, Options());
}

const ReleaseKey &ReleaseFixture::signingKey()
{
    static const ReleaseKey key =
        ReleaseKey::fromBytes(QByteArray(reinterpret_cast<const char *>(TEST_SIGNING_KEY), 2048));
    return key;
}

bool ReleaseFixture::writeSigned(const QString &path, const QByteArray &content, QString *error)
{
    if (!writeFile(path, content)) {
        if (error)
            *error = QStringLiteral("Cannot write %1").arg(path);
        return false;
    }
    return signFile(path, error);
}

bool ReleaseFixture::writeSignedIni(const QString &path, const ProductIni &ini, QString *error)
{
    const QByteArray text = ini.toBytes(error);
    return !text.isNull() && writeSigned(path, text, error);
}

bool ReleaseFixture::signFile(const QString &path, QString *error)
{
    return signingKey().signFile(path, error);
}

QByteArray ReleaseFixture::md5Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray ReleaseFixture::gzip(const QByteArray &data)
{
    z_stream zs{};
    // 15 + 16: zlib window with a gzip header and trailer.
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&zs, uLong(data.size()))) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = uInt(out.size());
    const int result = deflate(&zs, Z_FINISH);
    out.truncate(int(zs.total_out));
    deflateEnd(&zs);
    return result == Z_STREAM_END ? out : QByteArray();
}

bool ReleaseFixture::writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}
