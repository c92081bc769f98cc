// cacls.exe: shows or edits the access-control lists of files and folders.

#include "emulation/programs/cacls/Cacls.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/programs/Acl.h"

namespace emulation::programs {

using accounts::Ace;
namespace aceflags = accounts::aceflags;
namespace rights = accounts::rights;
using files::WinPath;
namespace fserr = files::fserr;

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Usage = u"显示或者修改文件的访问控制表(ACL)\r\n\r\n"
                      "CACLS filename [/T] [/E] [/C] [/G user:perm] [/R user [...]]\r\n"
                      "               [/P user:perm [...]] [/D user [...]]\r\n"_s;

constexpr std::uint32_t GenericWriteFile = 0x120116; // FILE_GENERIC_WRITE, shown as W

std::optional<std::uint32_t> caclsRights(const QString& letter) {
    const QString l = letter.toUpper();
    if (l == u"N"_s)
        return 0u;
    if (l == u"R"_s)
        return rights::ReadExecute;
    if (l == u"W"_s)
        return GenericWriteFile;
    if (l == u"C"_s)
        return rights::Modify;
    if (l == u"F"_s)
        return rights::Full;
    return std::nullopt;
}

// The rights of a mask by the names cacls shows for special access.
QStringList rightNames(std::uint32_t mask) {
    static const std::pair<std::uint32_t, const char16_t*> Names[] = {
        {rights::Delete, u"DELETE"},
        {rights::ReadControl, u"READ_CONTROL"},
        {rights::WriteDac, u"WRITE_DAC"},
        {rights::WriteOwner, u"WRITE_OWNER"},
        {rights::Synchronize, u"SYNCHRONIZE"},
        {rights::AccessSystemSecurity, u"ACCESS_SYSTEM_SECURITY"},
        {rights::MaximumAllowed, u"MAXIMUM_ALLOWED"},
        {rights::GenericAll, u"GENERIC_ALL"},
        {rights::GenericExecute, u"GENERIC_EXECUTE"},
        {rights::GenericWrite, u"GENERIC_WRITE"},
        {rights::GenericRead, u"GENERIC_READ"},
        {rights::ReadData, u"FILE_READ_DATA"},
        {rights::WriteData, u"FILE_WRITE_DATA"},
        {rights::AppendData, u"FILE_APPEND_DATA"},
        {rights::ReadEa, u"FILE_READ_EA"},
        {rights::WriteEa, u"FILE_WRITE_EA"},
        {rights::Execute, u"FILE_EXECUTE"},
        {rights::DeleteChild, u"FILE_DELETE_CHILD"},
        {rights::ReadAttributes, u"FILE_READ_ATTRIBUTES"},
        {rights::WriteAttributes, u"FILE_WRITE_ATTRIBUTES"},
    };
    QStringList out;
    for (const auto& [bit, name] : Names)
        if (mask & bit)
            out << QString::fromUtf16(name);
    return out;
}

struct Edit {
    enum Kind { Grant, Replace, Revoke, Deny } kind;
    QString sid;
    std::uint32_t mask = 0;
};

} // namespace

int cacls_main(ProgramContext& ctx, const QStringList& args, const QString&) {
    if (args.isEmpty() || args[0].startsWith(u'/')) {
        ctx.print(Usage);
        return 87;
    }
    bool tree = false, edit = false, continueOnError = false;
    QList<Edit> edits;
    Edit::Kind mode = Edit::Grant;
    bool expectAccount = false;
    for (const QString& a : args.mid(1)) {
        const QString sw = a.toUpper();
        if (sw == u"/T"_s) {
            tree = true;
        } else if (sw == u"/E"_s) {
            edit = true;
        } else if (sw == u"/C"_s) {
            continueOnError = true;
        } else if (sw == u"/G"_s || sw == u"/P"_s || sw == u"/R"_s || sw == u"/D"_s) {
            mode = sw == u"/G"_s   ? Edit::Grant
                   : sw == u"/P"_s ? Edit::Replace
                   : sw == u"/R"_s ? Edit::Revoke
                                   : Edit::Deny;
            expectAccount = true;
        } else if (expectAccount && !a.startsWith(u'/')) {
            QString name = a;
            std::uint32_t mask = rights::Full;
            if (mode == Edit::Grant || mode == Edit::Replace) {
                const qsizetype colon = a.lastIndexOf(u':');
                const auto r = colon > 0 ? caclsRights(a.mid(colon + 1)) : std::nullopt;
                if (!r) {
                    ctx.print(Usage);
                    return 87;
                }
                name = a.left(colon);
                mask = *r;
            }
            const auto who = ctx.accounts.lookup(name);
            if (!who) {
                ctx.eprintln(u"帐户名与安全标识间无任何映射完成。"_s);
                return 1332;
            }
            edits.append({mode, who->sid, mask});
        } else {
            ctx.print(Usage);
            return 87;
        }
    }
    const WinPath root = WinPath::parse(args[0]);
    if (root.problem == WinPath::Problem::TooLong) {
        ctx.eprintln(fserr::TooLong);
        return 206;
    }
    if (!root.valid() || !ctx.files.exists(root)) {
        ctx.eprintln(fserr::FileNotFound);
        return 2;
    }
    if (edits.isEmpty()) {
        const QString shown = ctx.files.displayPath(root);
        bool firstLine = true;
        for (const Ace& ace : ctx.files.effectiveAces(root)) {
            QString line = (firstLine ? shown + u' ' : QString(shown.size() + 1, u' ')) +
                           acl::displayName(ctx.accounts, ace.sid) + u':';
            const QString indent(line.size(), u' ');
            firstLine = false;
            for (const auto& [bit, text] :
                 {std::pair{aceflags::ObjectInherit, u"(OI)"_s},
                  std::pair{aceflags::ContainerInherit, u"(CI)"_s},
                  std::pair{aceflags::InheritOnly, u"(IO)"_s}, std::pair{aceflags::NoPropagate, u"(NP)"_s}})
                if (ace.flags & bit)
                    line += text;
            const std::uint32_t mask = rights::mapGeneric(ace.mask);
            const QString letter = ace.deny && mask == rights::Full ? u"N"_s
                                   : ace.deny                       ? QString()
                                   : mask == rights::Full           ? u"F"_s
                                   : mask == rights::Modify         ? u"C"_s
                                   : mask == rights::ReadExecute    ? u"R"_s
                                   : mask == GenericWriteFile       ? u"W"_s
                                                                    : QString();
            if (!letter.isEmpty()) {
                ctx.println(line + letter);
                continue;
            }
            // Any other set of rights is special access, its rights listed one a line below it.
            ctx.println(line + (ace.deny ? u"(DENY)(特殊访问:)"_s : u"(特殊访问:)"_s));
            for (const QString& right : rightNames(ace.mask))
                ctx.println(indent + right);
        }
        return 0;
    }
    if (!edit) {
        if (std::any_of(edits.begin(), edits.end(), [](const Edit& e) { return e.kind == Edit::Revoke; })) {
            ctx.print(Usage);
            return 87;
        }
        // Replacing a whole list asks first on standard input. A hidden window gives no answer:
        // nothing changes.
        ctx.print(u"确定吗(Y/N)?"_s);
        const QString answer = ctx.readLine().value_or(QString()).trimmed().toUpper();
        ctx.println();
        if (!answer.startsWith(u'Y'))
            return 1;
    }
    bool failed = false;
    for (const WinPath& object : acl::objects(ctx.files, root, tree)) {
        const bool folder = ctx.files.isFolder(object);
        const bool stored = ctx.files.editExplicitAces(object, [&](std::vector<Ace>& aces) {
            // Without /E the entries given replace the whole list.
            if (!edit)
                aces.clear();
            // cacls knows nothing of inheritance: it writes the list back whole as the object's
            // own, so the entries it inherited become explicit and the list stops inheriting.
            if (!ctx.files.isProtected(object)) {
                if (edit) {
                    for (Ace ace : ctx.files.effectiveAces(object)) {
                        if (!(ace.flags & aceflags::Inherited))
                            continue;
                        ace.flags &= ~aceflags::Inherited;
                        aces.push_back(ace);
                    }
                }
                ctx.files.setProtected(object, true);
            }
            for (const Edit& e : edits) {
                std::erase_if(aces, [&](const Ace& a) {
                    return a.sid == e.sid &&
                           (e.kind == Edit::Revoke || e.kind == Edit::Deny ? true : !a.deny);
                });
                const std::uint32_t inherit =
                    folder ? aceflags::ObjectInherit | aceflags::ContainerInherit : 0u;
                if (e.kind == Edit::Grant || e.kind == Edit::Replace) {
                    if (e.mask != 0)
                        aces.push_back({false, e.sid, e.mask, inherit});
                } else if (e.kind == Edit::Deny) {
                    aces.push_back({true, e.sid, rights::Full, inherit});
                }
            }
        });
        if (!stored) {
            // Without /C cacls stops at the first object it could not change.
            ctx.eprintln(fserr::InUse);
            failed = true;
            if (!continueOnError)
                break;
            continue;
        }
        ctx.println((folder ? u"处理的目录: "_s : u"处理的文件: "_s) + ctx.files.displayPath(object));
    }
    return failed ? fserr::InUseCode : 0;
}

} // namespace emulation::programs
