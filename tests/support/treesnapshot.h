#ifndef TREESNAPSHOT_H
#define TREESNAPSHOT_H

#include <QByteArray>
#include <QMap>
#include <QString>

// Everything below a directory: relative path -> content ("<dir>" for directories,
// "<link>" for symbolic links). Two equal snapshots mean byte-for-byte equal trees.
QMap<QString, QByteArray> treeSnapshot(const QString &root);

// Lower-case hexadecimal MD5 of the bytes.
QString md5Hex(const QByteArray &data);

// The bytes gzip-compressed.
QByteArray gzipBytes(const QByteArray &data);

#endif
