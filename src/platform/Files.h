#pragma once

#include "platform/Outcome.h"

#include <QString>

namespace platform {

// The file system of the server as the operator (the machine's Administrator) sees it.
class Files {
public:
    virtual ~Files() = default;
    // Looks one entry up by a directory listing of its folder, folders included. Fails when the
    // folder cannot be listed (missing, or the operator may not list it).
    virtual Outcome<bool> EntryExists(const QString& path) = 0;
    virtual bool FileExists(const QString& path) = 0;
    // Whether the path names a folder (GetFileAttributes with FILE_ATTRIBUTE_DIRECTORY).
    virtual bool IsFolder(const QString& path) = 0;
    // Clears the read-only, hidden and system attributes of a file or folder.
    virtual Status ClearAttributes(const QString& path) = 0;
    // Deletes a folder with everything in it.
    virtual Status DeleteTree(const QString& path) = 0;
};

} // namespace platform
