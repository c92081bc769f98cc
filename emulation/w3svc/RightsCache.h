#pragma once

// What the machine's access check granted accounts on paths, remembered while one state of the
// machine holds: a service's snapshot keeps one, so that a request or a command asks the database
// once for each account and path. The web and the FTP service share it.

#include "emulation/files/WinPath.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <mutex>
#include <shared_mutex>

namespace w3svc {

class RightsCache {
public:
    // The rights of an account (its SID) on a path: remembered, or what check() returns, remembered.
    template <typename Check>
    std::uint32_t get(const QString& sid, const emulation::files::WinPath& path, Check&& check) const {
        const QString key = sid + u'\n' + path.toString().toLower();
        {
            std::shared_lock lock(m_lock);
            const auto it = m_rights.constFind(key);
            if (it != m_rights.constEnd())
                return *it;
        }
        const std::uint32_t granted = check();
        std::unique_lock lock(m_lock);
        if (m_rights.size() >= Most) // bounded: a state may last long on a large server
            m_rights.clear();
        m_rights.insert(key, granted);
        return granted;
    }

private:
    static constexpr qsizetype Most = 100000;
    mutable std::shared_mutex m_lock;
    mutable QHash<QString, std::uint32_t> m_rights; // SID + "\n" + path -> granted rights
};

} // namespace w3svc
