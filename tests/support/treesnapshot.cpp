#include "treesnapshot.h"

#include "releasefixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

QMap<QString, QByteArray> treeSnapshot(const QString &root)
{
    QMap<QString, QByteArray> result;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relative = base.relativeFilePath(path);
        if (info.isSymLink()) {
            result.insert(relative, QByteArray("<link>"));
        } else if (info.isDir()) {
            result.insert(relative, QByteArray("<dir>"));
        } else {
            QFile file(path);
            result.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>"));
        }
    }
    return result;
}

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(ReleaseFixture::md5Hex(data));
}

QByteArray gzipBytes(const QByteArray &data)
{
    return ReleaseFixture::gzip(data);
}
