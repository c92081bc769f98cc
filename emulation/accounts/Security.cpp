#include "emulation/accounts/Security.h"

#include <QRegularExpression>

#include <array>
#include <utility>

namespace emulation::accounts {

using namespace Qt::Literals::StringLiterals;

namespace {

struct Abbrev {
    const char16_t* text;
    std::uint32_t bits;
};

// Specific rights in the order icacls shows them.
const std::array<Abbrev, 20> Specific = {{
    {u"GR", rights::GenericRead},    {u"GW", rights::GenericWrite},
    {u"GE", rights::GenericExecute}, {u"GA", rights::GenericAll},
    {u"DE", rights::Delete},         {u"RC", rights::ReadControl},
    {u"WDAC", rights::WriteDac},     {u"WO", rights::WriteOwner},
    {u"S", rights::Synchronize},     {u"AS", rights::AccessSystemSecurity},
    {u"MA", rights::MaximumAllowed}, {u"RD", rights::ReadData},
    {u"WD", rights::WriteData},      {u"AD", rights::AppendData},
    {u"REA", rights::ReadEa},        {u"WEA", rights::WriteEa},
    {u"X", rights::Execute},         {u"DC", rights::DeleteChild},
    {u"RA", rights::ReadAttributes}, {u"WA", rights::WriteAttributes},
}};

const std::array<Abbrev, 7> Simple = {{
    {u"F", rights::Full},
    {u"M", rights::Modify},
    {u"RX", rights::ReadExecute},
    {u"R", rights::Read},
    {u"W", rights::Write},
    {u"D", rights::DeleteSimple},
    {u"N", 0},
}};

// Inheritance flags in the order icacls shows them: inherited first.
const std::array<Abbrev, 5> Flags = {{
    {u"I", aceflags::Inherited},
    {u"OI", aceflags::ObjectInherit},
    {u"CI", aceflags::ContainerInherit},
    {u"IO", aceflags::InheritOnly},
    {u"NP", aceflags::NoPropagate},
}};

template <std::size_t N>
std::optional<std::uint32_t> lookup(const std::array<Abbrev, N>& table, QStringView t) {
    for (const auto& a : table)
        if (t.compare(QStringView(a.text), Qt::CaseInsensitive) == 0)
            return a.bits;
    return std::nullopt;
}

} // namespace

std::uint32_t rights::mapGeneric(std::uint32_t mask) {
    std::uint32_t out = mask & ~(GenericRead | GenericWrite | GenericExecute | GenericAll);
    if (mask & GenericRead)
        out |= Read;
    if (mask & GenericWrite)
        out |= 0x120116; // FILE_GENERIC_WRITE
    if (mask & GenericExecute)
        out |= 0x1200A0; // FILE_GENERIC_EXECUTE
    if (mask & GenericAll)
        out |= Full;
    return out;
}

std::optional<IcaclsPermission> parseIcaclsPermission(const QString& text) {
    IcaclsPermission p;
    QString rest = text.trimmed();
    bool haveRights = false;
    while (!rest.isEmpty()) {
        if (rest.startsWith(u'(')) {
            const qsizetype close = rest.indexOf(u')');
            if (close < 0)
                return std::nullopt;
            const QString inside = rest.mid(1, close - 1);
            rest = rest.mid(close + 1);
            if (const auto flag = lookup(Flags, inside); flag && *flag != aceflags::Inherited) {
                p.flags |= *flag;
                continue;
            }
            if (haveRights)
                return std::nullopt;
            // A simple right in parentheses, or a list of specific rights.
            if (const auto simple = lookup(Simple, inside)) {
                p.mask = *simple;
                haveRights = true;
                continue;
            }
            for (const QString& part : inside.split(u',')) {
                const auto bits = lookup(Specific, part.trimmed());
                if (!bits)
                    return std::nullopt;
                p.mask |= *bits;
            }
            haveRights = true;
            continue;
        }
        if (haveRights)
            return std::nullopt;
        const auto simple = lookup(Simple, rest);
        if (!simple)
            return std::nullopt;
        p.mask = *simple;
        haveRights = true;
        rest.clear();
    }
    if (!haveRights)
        return std::nullopt;
    return p;
}

QString formatIcaclsPermission(std::uint32_t mask, std::uint32_t flags, bool deny) {
    QString out;
    for (const auto& f : Flags)
        if (flags & f.bits)
            out += u'(' + QString::fromUtf16(f.text) + u')';
    if (deny)
        out += u"(DENY)"_s;
    for (const auto& s : Simple)
        if (s.bits != 0 && mask == s.bits)
            return out + u'(' + QString::fromUtf16(s.text) + u')';
    QStringList parts;
    for (const auto& s : Specific)
        if (mask & s.bits)
            parts << QString::fromUtf16(s.text);
    return out + u'(' + parts.join(u',') + u')';
}

std::optional<std::uint32_t> inheritedFlags(std::uint32_t flags, int depth, bool objectIsFolder) {
    constexpr std::uint32_t oi = aceflags::ObjectInherit, ci = aceflags::ContainerInherit;
    // One level at a time: through depth - 1 folders, then to the object.
    for (int level = 1; level <= depth; ++level) {
        const bool folder = level < depth || objectIsFolder;
        const bool np = flags & aceflags::NoPropagate;
        if (!folder) {
            if (!(flags & oi))
                return std::nullopt;
            flags = 0;
        } else if (flags & ci) {
            flags = np ? 0u : flags & (oi | ci);
        } else if ((flags & oi) && !np) {
            flags = oi | aceflags::InheritOnly; // for the files further down only
        } else {
            return std::nullopt;
        }
        if (level < depth && !(flags & (oi | ci)))
            return std::nullopt;
    }
    return flags | aceflags::Inherited;
}

std::uint32_t grantedRights(const std::vector<Ace>& canonical, const QStringList& tokenSids) {
    std::uint32_t granted = 0;
    std::uint32_t denied = 0;
    for (const Ace& ace : canonical) {
        if ((ace.flags & aceflags::InheritOnly) || !tokenSids.contains(ace.sid))
            continue;
        const std::uint32_t mask = rights::mapGeneric(ace.mask);
        if (ace.deny)
            denied |= mask & ~granted; // a deny only takes what is not granted yet
        else
            granted |= mask & ~denied;
    }
    return granted;
}

} // namespace emulation::accounts
