#include "emulation/w3svc/FolderIndex.h"

#include <dirent.h>

namespace w3svc {

std::shared_ptr<const FolderIndex::Names> FolderIndex::names(const std::string& folder,
                                                             const struct stat* known) {
    struct stat info {};
    if (known)
        info = *known;
    else if (::stat(folder.c_str(), &info) != 0)
        return nullptr;
    if (!S_ISDIR(info.st_mode))
        return nullptr;
    std::lock_guard lock(m_lock);
    if (m_folders.size() > 4096)
        m_folders.clear();
    Folder& f = m_folders[folder];
    if (!f.names || f.modified.tv_sec != info.st_mtim.tv_sec || f.modified.tv_nsec != info.st_mtim.tv_nsec) {
        auto names = std::make_shared<Names>();
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string n = entry->d_name;
                if (n != "." && n != "..")
                    names->insert(QString::fromUtf8(n).toLower(), n);
            }
            ::closedir(dir);
        }
        f.names = std::move(names);
        f.modified = info.st_mtim;
    }
    return f.names;
}

std::optional<std::string> FolderIndex::find(const std::string& folder, const QString& name) {
    const auto list = names(folder);
    if (!list)
        return std::nullopt;
    const auto it = list->constFind(name.toLower());
    if (it == list->constEnd())
        return std::nullopt;
    return *it;
}

} // namespace w3svc
