#include "emulation/w3svc/SiteTable.h"

#include "emulation/machine/Database.h"
#include "emulation/metabase/PropertyRecord.h"

#include <algorithm>
#include <map>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;
using platform::MetaValue;

namespace {

using Chain = emulation::metabase::PropertyChain;

bool bit(const Chain& chain, QStringView flags, std::uint32_t mask, bool fallback) {
    const auto v = chain.lookup(flags);
    return v ? (v->toNumber() & mask) != 0 : fallback;
}

void addMimeTypes(MimeTypes& into, const std::optional<MetaValue>& value) {
    if (!value)
        return;
    for (const auto& e : value->toMimeMap()) {
        QString ext = e.Extension.trimmed().toLower();
        if (!ext.startsWith(u'.') && ext != u"*"_s)
            ext.prepend(u'.');
        if (!into.contains(ext)) // the first of an extension wins, as IIS reads the list
            into.insert(ext, e.MimeType.trimmed());
    }
}

QString bindingKey(const QString& ip, std::uint16_t port, const QString& host) {
    return ip + u':' + QString::number(port) + u':' + host;
}

constexpr std::uint32_t AccessReadBit = 0x1;
constexpr std::uint32_t EnableDefaultDocBit = 0x40000000;

} // namespace

std::optional<Binding> Binding::parse(const QString& text) {
    // "IP:port:host"; a host name holds no colon, so the host is everything after the second one.
    const qsizetype first = text.indexOf(u':');
    const qsizetype second = first < 0 ? -1 : text.indexOf(u':', first + 1);
    if (second < 0)
        return std::nullopt;
    bool ok = false;
    const uint port = text.mid(first + 1, second - first - 1).trimmed().toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return std::nullopt;
    return Binding{text.left(first).trimmed(), static_cast<std::uint16_t>(port),
                   text.mid(second + 1).trimmed().toLower()};
}

std::unique_ptr<SiteTable> SiteTable::read(emulation::machine::Database& db) {
    auto table = std::make_unique<SiteTable>();
    QString machineRecord, serviceRecord;
    std::map<QString, QString> roots; // site path -> root record
    struct Row {
        QString path, name, record;
    };
    std::vector<Row> servers;
    {
        auto st = db.prepare("SELECT path, name, keytype, props FROM mb_keys "
                             "WHERE path = '/lm/mimemap' OR path = '/lm/w3svc' OR "
                             "(path >= '/lm/w3svc/' AND path < '/lm/w3svc0')");
        while (st.step()) {
            const QString path = st.text(0);
            if (path == u"/lm/mimemap"_s) {
                machineRecord = st.text(3);
                continue;
            }
            if (path == u"/lm/w3svc"_s) {
                serviceRecord = st.text(3);
                continue;
            }
            const QStringView rest = QStringView(path).mid(10); // after "/lm/w3svc/"
            const qsizetype slash = rest.indexOf(u'/');
            if (slash < 0 && st.text(2).compare(u"IIsWebServer"_s, Qt::CaseInsensitive) == 0)
                servers.push_back({path, st.text(1), st.text(3)});
            else if (slash > 0 && rest.mid(slash + 1) == u"root"_s && rest.indexOf(u'/', slash + 1) < 0)
                roots.emplace(path.left(10 + slash), st.text(3));
        }
    }
    const Chain service{&serviceRecord};
    table->m_centralBinary =
        service.lookup(u"CentralBinaryLoggingEnabled").value_or(MetaValue(false)).toBool();
    table->m_logFileDirectory = service.text(u"LogFileDirectory");
    if (const std::uint32_t timeout =
            service.lookup(u"ConnectionTimeout").value_or(MetaValue(120u)).toNumber())
        table->m_connectionTimeout = timeout;
    addMimeTypes(table->m_serviceMimeTypes,
                 emulation::metabase::PropertyRecord::find(serviceRecord, u"MimeMap"));
    addMimeTypes(table->m_serviceMimeTypes,
                 emulation::metabase::PropertyRecord::find(machineRecord, u"MimeMap"));

    const QString emptyRecord;
    // One parsed list (and its lower-case keys) per distinct text.
    QHash<QString, std::pair<std::shared_ptr<const QStringList>, std::shared_ptr<const QStringList>>>
        docLists;
    table->m_sites.reserve(servers.size());
    for (const Row& row : servers) {
        bool numeric = false;
        const std::uint32_t id = row.name.toUInt(&numeric);
        if (!numeric)
            continue;
        const auto root = roots.find(row.path);
        const QString& rootRecord = root == roots.end() ? emptyRecord : root->second;
        const Chain siteChain{&row.record, &serviceRecord};
        const Chain rootChain{&rootRecord, &row.record, &serviceRecord};

        Site site;
        site.id = id;
        site.comment = siteChain.text(u"ServerComment");
        site.state = siteChain.lookup(u"ServerState").value_or(MetaValue(state::Stopped)).toNumber();
        for (const QString& b : siteChain.lookup(u"ServerBindings").value_or(MetaValue()).toStringList())
            if (auto binding = Binding::parse(b))
                site.bindings.push_back(*binding);
        site.root = emulation::files::WinPath::parse(
            emulation::metabase::PropertyRecord::find(rootRecord, u"Path").value_or(MetaValue()).toString());
        site.redirect = rootChain.text(u"HttpRedirect").trimmed();
        const QString docs = rootChain.text(u"DefaultDoc");
        auto& [list, keys] = docLists[docs];
        if (!list) {
            QStringList names, lower;
            for (const QString& d : docs.split(u',', Qt::SkipEmptyParts))
                if (!d.trimmed().isEmpty()) {
                    names << d.trimmed();
                    lower << d.trimmed().toLower();
                }
            list = std::make_shared<const QStringList>(names);
            keys = std::make_shared<const QStringList>(lower);
        }
        site.defaultDocs = list;
        site.defaultDocKeys = keys;
        site.rootKey = site.root.toString().toLower().toStdString();
        site.defaultDocText = list->join(u',').toStdString();
        site.enableDefaultDoc = bit(rootChain, u"DirBrowseFlags", EnableDefaultDocBit, true);
        site.accessRead = bit(rootChain, u"AccessFlags", AccessReadBit, false);
        site.anonymousUser = rootChain.text(u"AnonymousUserName");
        site.anonymousPass = rootChain.text(u"AnonymousUserPass");
        addMimeTypes(site.ownMimeTypes, emulation::metabase::PropertyRecord::find(rootRecord, u"MimeMap"));
        addMimeTypes(site.ownMimeTypes, emulation::metabase::PropertyRecord::find(row.record, u"MimeMap"));
        site.logging = rootChain.lookup(u"LogType").value_or(MetaValue(1u)).toNumber() == 1 &&
                       !rootChain.lookup(u"DontLog").value_or(MetaValue(false)).toBool();
        site.logFileDirectory = siteChain.text(u"LogFileDirectory");
        table->m_sites.push_back(std::move(site));
    }
    std::sort(table->m_sites.begin(), table->m_sites.end(),
              [](const Site& a, const Site& b) { return a.id < b.id; });
    // Started sites take their bindings before paused ones; among equals the lower number.
    for (const std::uint32_t s : {state::Started, state::Paused})
        for (const Site& site : table->m_sites)
            if (site.state == s)
                for (const Binding& b : site.bindings) {
                    const QString key = bindingKey(b.ip, b.port, b.host);
                    if (!table->m_byBinding.contains(key))
                        table->m_byBinding.insert(key, &site);
                }
    return table;
}

const Site* SiteTable::match(const QString& address, std::uint16_t port, const QString& host) const {
    const QString h = host.toLower();
    if (!address.isEmpty())
        if (const Site* s = m_byBinding.value(bindingKey(address, port, h)))
            return s;
    if (const Site* s = m_byBinding.value(bindingKey(QString(), port, h)))
        return s;
    if (!address.isEmpty())
        if (const Site* s = m_byBinding.value(bindingKey(address, port, QString())))
            return s;
    return m_byBinding.value(bindingKey(QString(), port, QString()));
}

std::optional<QString> SiteTable::mimeType(const Site& site, const QString& extension) const {
    const QString ext = extension.toLower();
    for (const MimeTypes* map : {&site.ownMimeTypes, &m_serviceMimeTypes}) {
        const auto it = map->constFind(ext);
        if (it != map->constEnd())
            return *it;
    }
    // "*" maps every extension no entry names.
    for (const MimeTypes* map : {&site.ownMimeTypes, &m_serviceMimeTypes}) {
        const auto it = map->constFind(u"*"_s);
        if (it != map->constEnd())
            return *it;
    }
    return std::nullopt;
}

std::set<std::pair<QString, std::uint16_t>> SiteTable::endpoints() const {
    std::set<std::pair<QString, std::uint16_t>> out;
    for (const Site& site : m_sites)
        if (site.state == state::Started || site.state == state::Paused)
            for (const Binding& b : site.bindings)
                out.emplace(b.ip, b.port);
    return out;
}

} // namespace w3svc
