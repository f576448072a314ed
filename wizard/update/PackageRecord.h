#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The record of the packages Kelvane stored in its download folder, so that
// it removes its own older packages and never a file it did not write. The
// record is the file Kelvane.packages in that folder, one line per package:
// the file name, its size in bytes, its modification time in milliseconds
// since 1970 UTC and the version, separated by tabs.
namespace packagerecord {

// The record's file name; no package is ever called so.
QString FileName();

struct Entry {
    QString fileName;
    qint64 size = 0;
    qint64 modifiedMs = 0;
    QString version;
};

// The record is input like any other file: a line that is not four fields,
// has no whole numbers where they belong, or names anything but the package
// of its version directly inside the folder (a separator, "..", another
// file) is left out.
QList<Entry> Parse(const QByteArray& bytes);
QByteArray Format(const QList<Entry>& entries);

// What a clean-up did: the files it removed, and one line per problem met
// (a file that could not be removed, a record that could not be read or
// saved). A problem never fails the update it follows.
struct Cleanup {
    QStringList removed;
    QStringList problems;
};

// Called once the package `fileName` for `version` stands complete and
// proven in `folder` (ending in a separator). Removes every package the
// record names that is still exactly the file Kelvane wrote: a regular file,
// not a link, of the recorded size and modification time, and not
// `fileName`. Lines whose file is gone or changed are dropped, the file left
// as it is. The record then names the new package and the packages that
// could not be removed.
Cleanup PackageCompleted(const QString& folder, const QString& fileName, const QString& version);

} // namespace packagerecord
