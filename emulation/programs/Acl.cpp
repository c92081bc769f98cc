#include "emulation/programs/Acl.h"

#include "emulation/accounts/AccountStore.h"

namespace emulation::programs::acl {

using accounts::AccountStore;
using accounts::Ace;
using files::FileSystem;
using files::WinPath;

QString displayName(AccountStore& accounts, const QString& sid) {
    const auto p = accounts.bySid(sid);
    return p ? p->qualifiedName() : sid;
}

void printList(ProgramContext& ctx, const WinPath& path, const std::function<QString(const Ace&)>& entry) {
    const QString shown = ctx.files.displayPath(path);
    bool firstLine = true;
    for (const Ace& ace : ctx.files.effectiveAces(path)) {
        ctx.println((firstLine ? shown + u' ' : QString(shown.size() + 1, u' ')) + entry(ace));
        firstLine = false;
    }
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

} // namespace emulation::programs::acl
