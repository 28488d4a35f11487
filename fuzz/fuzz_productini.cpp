// Compiling the download, replace and delete lists from a product ini against an
// installation and a working directory whose files the input also decides.
//
// Input: the product ini, a zero byte, then one control byte per key (in the order
// the settings reader lists sections and keys; missing bytes count as 0). Bits 0-1
// say what lies at the key's installed path, bits 2-3 what lies at its path in the
// working directory: 0 nothing, 1 an empty file, 2 a file holding "x", 3 a directory.
// Bit 4 gives the installed file execute permission for everyone.
#include "fuzzsupport.h"

#include "configuration.h"
#include "filereplacetaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>

namespace {

const QString ClientType = QStringLiteral("client_linux_x86");

struct Entry
{
    QString section;
    QString key;
    QStringList parts;
};

// Puts what the state asks for at path (relative to root); refuses paths outside root.
void place(const fuzz::InputDir &dir, const QString &root, const QString &relative, int state,
           bool executable = false)
{
    const QString path = root + QLatin1Char('/') + relative;
    if (executable && (state == 1 || state == 2)) {
        place(dir, root, relative, state);
        QFile::setPermissions(dir.file(path), QFile::permissions(dir.file(path)) | QFileDevice::ExeOwner
                                                  | QFileDevice::ExeUser | QFileDevice::ExeGroup
                                                  | QFileDevice::ExeOther);
        return;
    }
    switch (state) {
    case 1:
        dir.write(path, QByteArray());
        break;
    case 2:
        dir.write(path, QByteArray("x"));
        break;
    case 3: {
        const QString clean = QDir::cleanPath(dir.file(path));
        if (clean.startsWith(dir.file(root) + QLatin1Char('/')))
            QDir().mkpath(clean);
        break;
    }
    default:
        break;
    }
}

// Every file below root with its content; directories as entries without content.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly))
            files.insert(path, file.readAll());
        else
            files.insert(path, QByteArray("<dir>"));
    }
    return files;
}

// Whether a file at path is current for the expected MD5 sum; -1 when a signature
// check would decide (empty sum), which this target leaves alone. A program file
// without execute permission for everyone is not current: installing it sets them.
int current(const QString &path, const QString &md5, bool installed)
{
    if (md5.isEmpty())
        return -1;
    const QFileDevice::Permissions anyExecute = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    if (installed && FileReplaceTaskSpecification::isExecutableFile(path)
        && (QFileInfo(path).permissions() & anyExecute) != anyExecute)
        return 0;
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return 0;
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5).toHex());
    return digest.compare(md5, Qt::CaseInsensitive) == 0 ? 1 : 0;
}

QString describe(const Entry &entry)
{
    return entry.section + QLatin1String(" / ") + entry.key + QLatin1String(" = ")
        + entry.parts.join(QLatin1String("::"));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initialize();
    crypt_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int split = input.indexOf('\0');
    const QByteArray ini = split < 0 ? input : input.left(split);
    const QByteArray control = split < 0 ? QByteArray() : input.mid(split + 1);

    fuzz::InputDir dir;
    const QString install = dir.file(QStringLiteral("install"));
    const QString work = dir.file(QStringLiteral("work"));
    const QString iniName = ClientType + QStringLiteral(".ini");
    if (!QDir().mkpath(install) || !dir.write(QStringLiteral("work/") + iniName, ini))
        fuzz::fail("cannot set up the directories", dir.path());

    // The files the input asks for, at the paths the product ini names.
    QList<Entry> entries;
    {
        QSettings settings(work + QLatin1Char('/') + iniName, QSettings::IniFormat);
        int next = 0;
        const QStringList sections = settings.childGroups();
        for (const QString &section : sections) {
            settings.beginGroup(section);
            const QStringList keys = settings.allKeys();
            for (const QString &key : keys) {
                const QStringList parts = settings.value(key).toString().split(QStringLiteral("::"));
                entries.append({section, key, parts});
                const int state = next < control.size() ? uchar(control.at(next)) : 0;
                ++next;
                const bool isDelete = section == QLatin1String("delete");
                const QString installed = !isDelete && parts.size() == 5 ? parts.at(4) : key;
                if (!MakeDownloadReplaceListFunc::isSafeRelativePath(installed))
                    continue;
                place(dir, QStringLiteral("install"), installed, state & 3, (state & 16) != 0);
                if (!isDelete && MakeDownloadReplaceListFunc::isSafeRelativePath(key) && key != iniName)
                    place(dir, QStringLiteral("work"), key, (state >> 2) & 3);
            }
            settings.endGroup();
        }
    }

    Configuration configuration;
    configuration.m_tempDir = work;
    configuration.m_clientType = ClientType;
    Configuration::setAppRootPathOverride(install);

    const QMap<QString, QByteArray> before = snapshot(install);
    FileSpecifications lists;
    MakeDownloadReplaceListFunc compile(&configuration, lists);
    const bool compiled = compile.run();
    // The comparison only reads: the installation is left exactly as it was.
    FUZZ_CHECK(snapshot(install) == before, QString());
    Configuration::setAppRootPathOverride(QString());
    if (!compiled)
        return 0;

    // Every listed path stays inside the directory it is joined to.
    for (const QString &path : lists.deletes) {
        FUZZ_CHECK(MakeDownloadReplaceListFunc::isSafeRelativePath(path), path);
        FUZZ_CHECK(QFileInfo::exists(install + QLatin1Char('/') + path), path);
    }
    for (const FileReplaceSpecification &replace : lists.replaces) {
        FUZZ_CHECK(MakeDownloadReplaceListFunc::isSafeRelativePath(replace.fileName), replace.fileName);
        FUZZ_CHECK(!replace.hasUnzip() || MakeDownloadReplaceListFunc::isSafeRelativePath(replace.unzipFileName),
                   replace.unzipFileName);
    }

    // Each entry of a file section: in the replace list unless its installed file is
    // current; in the download list exactly when replaced and not already fetched.
    for (const Entry &entry : entries) {
        if (entry.section == QLatin1String("delete"))
            continue;
        FUZZ_CHECK(entry.parts.size() == 2 || entry.parts.size() == 5, describe(entry));
        const bool packed = entry.parts.size() == 5;
        const QString installed = packed ? entry.parts.at(4) : entry.key;
        int replaced = 0;
        for (const FileReplaceSpecification &replace : lists.replaces) {
            if (replace.section == entry.section && replace.fileName == entry.key) {
                ++replaced;
                FUZZ_CHECK(replace.unzipFileName == (packed ? entry.parts.at(4) : QString())
                               && replace.unzipMd5 == (packed ? entry.parts.at(2) : QString()),
                           describe(entry));
            }
        }
        int downloaded = 0;
        for (const FileDownloadSpecification &download : lists.downloads) {
            if (download.section == entry.section && download.fileName == entry.key) {
                ++downloaded;
                FUZZ_CHECK(download.md5 == entry.parts.at(0), describe(entry));
            }
        }
        FUZZ_CHECK(replaced <= 1 && downloaded <= replaced, describe(entry));
        const int installedCurrent =
            current(install + QLatin1Char('/') + installed, packed ? entry.parts.at(2) : entry.parts.at(0), true);
        if (installedCurrent >= 0)
            FUZZ_CHECK(replaced == 1 - installedCurrent, describe(entry));
        const int fetched = current(work + QLatin1Char('/') + entry.key, entry.parts.at(0), false);
        if (replaced == 1 && fetched >= 0)
            FUZZ_CHECK(downloaded == 1 - fetched, describe(entry));
    }
    return 0;
}
