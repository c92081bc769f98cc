#include "emulation/msftpsvc/FtpSiteTable.h"

#include "emulation/machine/Database.h"
#include "emulation/metabase/PropertyRecord.h"

#include <algorithm>
#include <map>

namespace msftpsvc {

using namespace Qt::Literals::StringLiterals;
using platform::MetaValue;

namespace {

using Chain = emulation::metabase::PropertyChain;

constexpr std::uint32_t AccessReadBit = 0x1;
constexpr std::uint32_t AccessWriteBit = 0x2;
constexpr qsizetype ServicePrefix = 13; // "/lm/msftpsvc/"

} // namespace

const FtpVirtualDir* FtpSite::dir(const QString& lookupName) const {
    for (const FtpVirtualDir& d : dirs)
        if (d.lookup == lookupName)
            return &d;
    return nullptr;
}

std::unique_ptr<FtpSiteTable> FtpSiteTable::read(emulation::machine::Database& db) {
    auto table = std::make_unique<FtpSiteTable>();
    QString serviceRecord;
    struct Key {
        QString name, keyType, record;
    };
    std::map<QString, Key> keys; // path below the service ("1", "1/root", "1/root/shop") -> key
    {
        auto st =
            db.prepare("SELECT path, name, keytype, props FROM mb_keys "
                       "WHERE path = '/lm/msftpsvc' OR (path >= '/lm/msftpsvc/' AND path < '/lm/msftpsvc0')");
        while (st.step()) {
            const QString path = st.text(0);
            if (path == u"/lm/msftpsvc"_s)
                serviceRecord = st.text(3);
            else
                keys.emplace(path.mid(ServicePrefix), Key{st.text(1), st.text(2), st.text(3)});
        }
    }
    const QString emptyRecord;
    auto recordOf = [&](const QString& below) -> const QString& {
        const auto it = keys.find(below);
        return it == keys.end() ? emptyRecord : it->second.record;
    };

    for (const auto& [below, key] : keys) {
        if (below.contains(u'/') || key.keyType.compare(u"IIsFtpServer"_s, Qt::CaseInsensitive) != 0)
            continue;
        bool numeric = false;
        const std::uint32_t id = key.name.toUInt(&numeric);
        if (!numeric)
            continue;
        const Chain siteChain{&key.record, &serviceRecord};
        FtpSite site;
        site.id = id;
        site.comment = siteChain.text(u"ServerComment");
        site.state = siteChain.number(u"ServerState", state::Stopped);
        for (const QString& b : siteChain.lookup(u"ServerBindings").value_or(MetaValue()).toStringList()) {
            const QStringList parts = b.split(u':');
            bool ok = false;
            const uint port = parts.size() >= 2 ? parts[1].trimmed().toUInt(&ok) : 0;
            if (ok && port > 0 && port <= 65535)
                site.bindings.push_back({parts[0].trimmed(), static_cast<std::uint16_t>(port)});
        }
        site.allowAnonymous = siteChain.flag(u"AllowAnonymous", true);
        site.anonymousOnly = siteChain.flag(u"AnonymousOnly", false);
        site.anonymousUser = siteChain.text(u"AnonymousUserName");
        site.anonymousPass = siteChain.text(u"AnonymousUserPass");
        site.greeting = siteChain.lookup(u"GreetingMessage").value_or(MetaValue()).toStringList();
        site.exitMessage = siteChain.text(u"ExitMessage");
        site.maxClientsMessage = siteChain.text(u"MaxClientsMessage");
        site.maxConnections = siteChain.number(u"MaxConnections", 100000);
        site.connectionTimeout = siteChain.number(u"ConnectionTimeout", 120);
        site.msdosListing = siteChain.flag(u"MSDOSDirOutput", true);
        site.logging = siteChain.number(u"LogType", 1) == 1 && !siteChain.flag(u"DontLog", false);
        site.logFileDirectory = siteChain.text(u"LogFileDirectory");

        // The virtual directories: ROOT and every IIsFtpVirtualDir below it, each reading its
        // access flags through the keys above it.
        const QString rootBelow = below + u"/root"_s;
        for (auto it = keys.lower_bound(rootBelow); it != keys.end(); ++it) {
            const QString& p = it->first;
            if (p != rootBelow && !p.startsWith(rootBelow + u'/'))
                break;
            if (it->second.keyType.compare(u"IIsFtpVirtualDir"_s, Qt::CaseInsensitive) != 0)
                continue;
            Chain chain{};
            for (QString up = p; up.size() >= rootBelow.size(); up = up.left(up.lastIndexOf(u'/')))
                chain.append(&recordOf(up));
            chain.append(&key.record);
            chain.append(&serviceRecord);
            FtpVirtualDir dir;
            // The names as stored: the key names of the levels below ROOT.
            QStringList names;
            for (QString up = p; up.size() > rootBelow.size(); up = up.left(up.lastIndexOf(u'/')))
                names.prepend(keys.count(up) ? keys.at(up).name : up.mid(up.lastIndexOf(u'/') + 1));
            dir.name = names.join(u'/');
            dir.lookup = dir.name.toLower();
            dir.path = emulation::files::WinPath::parse(
                emulation::metabase::PropertyRecord::find(it->second.record, u"Path")
                    .value_or(MetaValue())
                    .toString());
            const std::uint32_t access = chain.number(u"AccessFlags", AccessReadBit);
            dir.read = (access & AccessReadBit) != 0;
            dir.write = (access & AccessWriteBit) != 0;
            site.dirs.push_back(std::move(dir));
        }
        std::sort(site.dirs.begin(), site.dirs.end(),
                  [](const FtpVirtualDir& a, const FtpVirtualDir& b) { return a.lookup < b.lookup; });
        table->m_sites.push_back(std::move(site));
    }
    std::sort(table->m_sites.begin(), table->m_sites.end(),
              [](const FtpSite& a, const FtpSite& b) { return a.id < b.id; });
    return table;
}

const FtpSite* FtpSiteTable::site(std::uint32_t id) const {
    for (const FtpSite& s : m_sites)
        if (s.id == id)
            return &s;
    return nullptr;
}

const FtpSite* FtpSiteTable::match(const QString& address, std::uint16_t port) const {
    // Started sites take their bindings before paused ones; among equals the lower number.
    for (const bool exact : {true, false})
        for (const std::uint32_t s : {state::Started, state::Paused})
            for (const FtpSite& site : m_sites)
                if (site.state == s)
                    for (const FtpBinding& b : site.bindings)
                        if (b.port == port &&
                            (exact ? !address.isEmpty() && b.ip == address : b.ip.isEmpty()))
                            return &site;
    return nullptr;
}

std::set<std::pair<QString, std::uint16_t>> FtpSiteTable::endpoints() const {
    std::set<std::pair<QString, std::uint16_t>> out;
    for (const FtpSite& site : m_sites)
        if (site.state == state::Started || site.state == state::Paused)
            for (const FtpBinding& b : site.bindings)
                out.emplace(b.ip, b.port);
    return out;
}

} // namespace msftpsvc
