#ifndef UPDATEINIDATA_H
#define UPDATEINIDATA_H

#include <QString>

// The session record: section "current" of "update.ini", which ties a target
// version to the working directory of its (possibly interrupted) update run.
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    // Absolute path of "update.ini" in the application directory.
    static QString filename();
    // True when a valid record exists (version a number, type and dir not
    // empty, dir existing); only then are the non-null outputs written.
    static bool get(int *version, QString *type, QString *dir);
    // Note the order: version, directory, type.
    static void modify(int version, const QString &dir, const QString &type);
    // Removes the section "current"; the other sections stay.
    static void cleanup();
};

#endif
