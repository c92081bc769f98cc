#pragma once

#include <QHash>
#include <QString>

#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <sys/stat.h>

namespace w3svc {

// The names in folders on this computer by lower case, to find a file of a Windows path without
// regard to case; a folder is read again when its modification time changes.
class FolderIndex {
public:
    // The name as stored of the entry of a folder that matches name without regard to case.
    std::optional<std::string> find(const std::string& folder, const QString& name);
    // Lower-case name -> name as stored, for every entry of a folder; null when it is no folder.
    using Names = QHash<QString, std::string>;
    // known: the folder's stat when the caller has just made it.
    std::shared_ptr<const Names> names(const std::string& folder, const struct stat* known = nullptr);

private:
    struct Folder {
        timespec modified{};
        std::shared_ptr<const Names> names;
    };
    std::mutex m_lock;
    std::unordered_map<std::string, Folder> m_folders;
};

} // namespace w3svc
