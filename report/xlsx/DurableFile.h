#pragma once

#include <QByteArray>
#include <QString>

// Replacing a file so that its path holds either the old or the complete new content, also
// after a full disk, a file-size limit or a power loss.
namespace DurableFile {

enum class Failure {
    None,
    DiskFull,     // no space left, quota or file-size limit reached
    NoPermission, // the folder or the file may not be written, or the file is read-only
    FolderMissing, // the folder is gone (a removed stick, an unmounted share)
    Other,        // any other error of the storage (EIO and the like)
};

struct Result
{
    Failure failure = Failure::None;
    QString message; // the system's text of the error; empty on success

    bool ok() const { return failure == Failure::None; }
};

// Writes bytes to a temporary file beside path, syncs it, renames it over path and syncs the
// folder. On any failure before the rename the temporary file is removed and path is left
// byte for byte as it was. A path that is a symbolic link has its target replaced, and the link
// stays. A file without a write bit for anyone, or one the program may not write, is refused
// (NoPermission) although the folder would allow the rename. The new file takes the old one's
// permission bits (never the set-ID bits) and, for a program running as root, its owner and
// group. After the rename, temporary files of earlier saves of the same file that were cut
// short (a killed program) are removed.
Result replace(const QString &path, const QByteArray &bytes);

// The failure class of a system error number.
Failure classify(int error);

// Whether candidate is the name of a temporary file that replace() makes for the file named
// fileName (both names without their folder): fileName, ".~" and six random digits or
// lower-case letters.
bool isTemporaryName(const QString &fileName, const QString &candidate);

// The lock file beside path that writers of path hold from reading it until it is replaced;
// never a name that isTemporaryName() takes for a temporary file.
QString lockPath(const QString &path);

} // namespace DurableFile
