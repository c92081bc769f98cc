#include "emulation/programs/Acl.h"

#include "emulation/AccountStore.h"

namespace emulation::acl {

QString displayName(AccountStore& accounts, const QString& sid) {
    const auto p = accounts.bySid(sid);
    return p ? p->qualifiedName() : sid;
}

QList<WinPath> objects(FileSystem& files, const WinPath& root, bool recurse) {
    QList<WinPath> out{root};
    if (!recurse)
        return out;
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (!files.isFolder(out[i]))
            continue;
        for (const QString& name : files.children(out[i])) {
            WinPath child = out[i];
            child.names << name;
            out << child;
        }
    }
    return out;
}

} // namespace emulation::acl
