#pragma once

#include <QByteArray>
#include <QString>

// Replacing a file so that its path holds either the old or the complete new content, also
// after a full disk, a file-size limit or a power loss.
namespace DurableFile {

enum class Failure {
    None,
    DiskFull,     // no space left, quota or file-size limit reached
    NoPermission, // the folder or the file may not be written
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
// byte for byte as it was.
Result replace(const QString &path, const QByteArray &bytes);

// The failure class of a system error number.
Failure classify(int error);

} // namespace DurableFile
