#include "emulation/check/Check.h"

#include "emulation/accounts/Security.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/PropertyRecord.h"
#include "platform/Accounts.h"
#include "platform/AnsiCodePage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emulation::check {

using namespace Qt::Literals::StringLiterals;
using machine::Database;
using metabase::PropertyRecord;

namespace {

// The check reads the whole machine at once: for 100,000 sites that is 300,000 metabase keys,
// 100,000 accounts and 100,000 folders. It takes each key as the database gives it (a key always
// comes after its parent: ids only grow, and a key is made below one that exists), keeps of it only
// the little its site needs, and keeps texts as UTF-8 in one arena, so that neither the time nor
// the memory goes into one string object per value. The sites' folders are looked up on a second
// thread while the keys are read.

using Text = std::string_view; // UTF-8

const QString SiteAccountGroup = u"velmorausers"_s;
const QString UsersSid = u"S-1-5-32-545"_s;
const QString CreatorOwnerSid = u"S-1-3-0"_s;
constexpr Text DefaultPool = "DefaultAppPool";
constexpr Text DefaultFtpSite = "默认 FTP 站点";
// What the sites-root securing grants the IIS worker-process group: (OI)(CI)(RA,REA,RC,RD,S).
constexpr std::uint32_t WorkerRights = accounts::rights::ReadAttributes | accounts::rights::ReadEa |
                                       accounts::rights::ReadControl | accounts::rights::ReadData |
                                       accounts::rights::Synchronize;
constexpr std::uint32_t Inherits = accounts::aceflags::ObjectInherit | accounts::aceflags::ContainerInherit;
constexpr std::uint32_t None = ~0u; // no entry, no account

Text textOf(QByteArrayView b) {
    return {b.data(), std::size_t(b.size())};
}
QString qstr(Text s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}
Text keep(const QByteArray& b, std::string& buffer) {
    buffer.assign(b.constData(), std::size_t(b.size()));
    return buffer;
}
bool isAscii(Text s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}
char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}
// The spaces QString::trimmed takes away, of those below 128.
bool asciiSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Database text as QString::fromUtf8 reads it: the bytes themselves when they are valid UTF-8, each
// bad sequence replaced otherwise (so that texts compare as the strings made of them would).
Text canonical(QByteArrayView bytes, std::string& buffer) {
    if (bytes.isValidUtf8())
        return textOf(bytes);
    return keep(QString::fromUtf8(bytes).toUtf8(), buffer);
}

// A text in lower case as QString::toLower makes it; ASCII is lowered here, in buffer when it
// changes. The result may be buffer itself when s is.
Text lowered(Text s, std::string& buffer) {
    if (!isAscii(s))
        return keep(qstr(s).toLower().toUtf8(), buffer);
    if (std::none_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        return s;
    if (s.data() != buffer.data())
        buffer.assign(s);
    for (char& c : buffer)
        c = asciiLower(c);
    return buffer;
}

Text uppered(Text s, std::string& buffer) {
    if (!isAscii(s))
        return keep(qstr(s).toUpper().toUtf8(), buffer);
    if (s.data() != buffer.data())
        buffer.assign(s);
    for (char& c : buffer)
        c = asciiUpper(c);
    return buffer;
}

// The part of a text that QString::trimmed leaves, as its start and length; nullopt when a
// character beyond ASCII stands at an end (it may be a space of another script): QString decides.
std::optional<std::pair<std::size_t, std::size_t>> trimBounds(Text s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && asciiSpace(s[b]))
        ++b;
    while (e > b && asciiSpace(s[e - 1]))
        --e;
    if (b < e && (static_cast<unsigned char>(s[b]) >= 0x80 || static_cast<unsigned char>(s[e - 1]) >= 0x80))
        return std::nullopt;
    return std::pair{b, e - b};
}

// A text without the spaces at its ends: a part of s, or buffer.
Text trimmedText(Text s, std::string& buffer) {
    if (const auto bounds = trimBounds(s))
        return s.substr(bounds->first, bounds->second);
    return keep(qstr(s).trimmed().toUtf8(), buffer);
}

// Whether two texts are equal without regard to case, as QString::compare with Qt::CaseInsensitive
// finds them (which folds some characters beyond ASCII onto ASCII letters).
bool sameText(Text a, Text b) {
    if (isAscii(a) && isAscii(b))
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return asciiLower(x) == asciiLower(y);
               });
    return qstr(a).compare(qstr(b), Qt::CaseInsensitive) == 0;
}

// "VELMORA\name" -> "name".
Text accountPart(Text name) {
    const std::size_t slash = name.rfind('\\');
    return slash == Text::npos ? name : name.substr(slash + 1);
}

// A kept text: where it starts in the arena and how many bytes it has.
struct Str {
    std::uint32_t at = 0;
    std::uint32_t size = 0;
    bool empty() const { return size == 0; }
};

// The texts the check keeps, one after another in one buffer.
class Arena {
public:
    Str add(Text s) {
        const Str kept{std::uint32_t(m_bytes.size()), std::uint32_t(s.size())};
        m_bytes.append(s);
        return kept;
    }
    Text operator()(Str s) const { return Text(m_bytes).substr(s.at, s.size); }
    QString qstring(Str s) const { return qstr((*this)(s)); }
    // Room for that many more bytes: the arena then grows without copying what it holds.
    void reserve(std::size_t more) { m_bytes.reserve(m_bytes.size() + more); }

private:
    std::string m_bytes;
};

// Texts to values, in the order the texts were first inserted; open addressing over the texts'
// hashes, the texts themselves in the map's own arena.
template <typename Value> class TextMap {
public:
    struct Entry {
        Str key;
        Value value{};
    };

    // Room for that many texts of that many bytes in all.
    void reserve(std::size_t texts, std::size_t bytes) {
        m_entries.reserve(texts);
        m_keys.reserve(bytes);
        while (m_slots.size() < 2 * texts)
            grow();
    }
    // The entry of a text, made when there is none; and whether it was made.
    std::pair<std::uint32_t, bool> insert(Text key) {
        if ((m_entries.size() + 1) * 2 > m_slots.size())
            grow();
        const std::uint32_t h = hashOf(key);
        for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
            Slot& s = m_slots[i];
            if (s.entry == 0) {
                s = {h, std::uint32_t(m_entries.size() + 1)};
                m_entries.push_back({m_keys.add(key), {}});
                return {std::uint32_t(m_entries.size() - 1), true};
            }
            if (s.hash == h && m_keys(m_entries[s.entry - 1].key) == key)
                return {s.entry - 1, false};
        }
    }
    // The entry of a text, or None.
    std::uint32_t find(Text key) const {
        if (m_slots.empty())
            return None;
        const std::uint32_t h = hashOf(key);
        for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
            const Slot& s = m_slots[i];
            if (s.entry == 0)
                return None;
            if (s.hash == h && m_keys(m_entries[s.entry - 1].key) == key)
                return s.entry - 1;
        }
    }
    bool contains(Text key) const { return find(key) != None; }
    Value& operator[](std::uint32_t entry) { return m_entries[entry].value; }
    const Value& operator[](std::uint32_t entry) const { return m_entries[entry].value; }
    Text key(std::uint32_t entry) const { return m_keys(m_entries[entry].key); }
    const std::vector<Entry>& entries() const { return m_entries; }
    std::vector<Entry>& entries() { return m_entries; }

private:
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t entry = 0; // index + 1; 0 for a free slot
    };
    static std::uint32_t hashOf(Text key) {
        const std::size_t h = std::hash<Text>{}(key);
        return std::uint32_t(h ^ (h >> 32));
    }
    std::size_t mask() const { return m_slots.size() - 1; }
    void grow() {
        std::vector<Slot> grown(std::max<std::size_t>(64, m_slots.size() * 2));
        const std::size_t m = grown.size() - 1;
        for (const Slot& s : m_slots) {
            if (s.entry == 0)
                continue;
            std::size_t i = s.hash & m;
            while (grown[i].entry != 0)
                i = (i + 1) & m;
            grown[i] = s;
        }
        m_slots.swap(grown);
    }

    Arena m_keys;
    std::vector<Entry> m_entries;
    std::vector<Slot> m_slots;
};

// The properties the check reads from a key, each read in the one pass over the key's record.
enum Prop : std::uint8_t {
    ServerComment,
    AppPoolId,
    AnonymousUserName,
    AnonymousUserPass,
    Path,
    AppFriendlyName,
    ServerBindings,
    PropCount,
};
constexpr std::array<Text, PropCount> PropNames = {
    "ServerComment", "AppPoolId",       "AnonymousUserName", "AnonymousUserPass",
    "Path",          "AppFriendlyName", "ServerBindings",
};
constexpr int StringListType = 3; // PropertyRecord's type of a list of strings

// A property name that is one of Prop, compared as the metabase compares names; PropCount when
// none. (No name of Prop holds a letter that a character beyond ASCII lowers to, so ASCII alone
// decides.)
Prop propOf(Text name) {
    auto is = [&](Prop p) {
        const Text want = PropNames[std::size_t(p)];
        return std::equal(name.begin(), name.end(), want.begin(),
                          [](char x, char y) { return asciiLower(x) == asciiLower(y); });
    };
    Prop p = PropCount; // the one name of that length, or the first of two
    switch (name.size()) {
    case 4:
        p = Path;
        break;
    case 9:
        p = AppPoolId;
        break;
    case 13:
        p = ServerComment;
        break;
    case 14:
        p = ServerBindings;
        break;
    case 15:
        p = AppFriendlyName;
        break;
    case 17:
        if (is(AnonymousUserPass))
            return AnonymousUserPass;
        p = AnonymousUserName;
        break;
    default:
        return PropCount;
    }
    return is(p) ? p : PropCount;
}

// The properties of one key's record that the check reads: the first of each name, as a lookup by
// name finds it, as the record holds it (the record's separators are ASCII, so its UTF-8 is taken
// apart as PropertyRecord::forEach takes its text apart). Valid while the record is.
struct Props {
    std::uint8_t present = 0;
    std::array<int, PropCount> types{};
    std::array<Text, PropCount> values{};

    bool has(Prop p) const { return present & (1u << p); }

    void read(Text record) {
        present = 0;
        const char rs = char(PropertyRecord::RecordSeparator.unicode());
        const char fs = char(PropertyRecord::FieldSeparator.unicode());
        std::size_t pos = 0;
        while (pos < record.size()) {
            std::size_t end = record.find(rs, pos);
            if (end == Text::npos)
                end = record.size();
            const Text item = record.substr(pos, end - pos);
            const std::size_t f1 = item.find(fs);
            const std::size_t f2 = f1 == Text::npos ? Text::npos : item.find(fs, f1 + 1);
            if (f1 != Text::npos && f1 > 0 && f2 != Text::npos) {
                if (const Prop p = propOf(item.substr(0, f1)); p != PropCount && !has(p)) {
                    present |= std::uint8_t(1u << p);
                    // A type beyond ASCII is no type, as its UTF-16 unit is none.
                    types[p] = static_cast<unsigned char>(item[f1 + 1]) - '0';
                    values[p] = item.substr(f2 + 1);
                }
            }
            pos = end + 1;
        }
    }

    // The property's value as a text (a plain string as it is, anything else as the metabase gives
    // it as a string); empty when the key does not have it.
    Text text(Prop p, std::string& buffer) const {
        if (!has(p))
            return {};
        const Text v = values[p];
        if (types[p] == PropertyRecord::StringType &&
            v.find(char(PropertyRecord::Escape.unicode())) == Text::npos)
            return v;
        return keep(PropertyRecord::decodeValue(types[p], qstr(v)).toString().toUtf8(), buffer);
    }

    // Calls each(element) for each string of a list property (any other value is a list of its text).
    template <typename Each> void list(Prop p, Each&& each) const {
        if (!has(p))
            return;
        const Text v = values[p];
        if (types[p] == StringListType && v.find(char(PropertyRecord::Escape.unicode())) == Text::npos) {
            // A separator before each element.
            const char us = '\x1F';
            std::size_t pos = v.find(us);
            while (pos != Text::npos) {
                const std::size_t next = v.find(us, pos + 1);
                each(v.substr(pos + 1, (next == Text::npos ? v.size() : next) - pos - 1));
                pos = next;
            }
            return;
        }
        for (const QString& element : PropertyRecord::decodeValue(types[p], qstr(v)).toStringList()) {
            const QByteArray bytes = element.toUtf8();
            each(textOf(bytes));
        }
    }
};

// The key classes the check tells apart (KeyType compared exactly).
enum class Class : std::uint8_t { Other, WebServer, ApplicationPool, FtpServer, FtpVirtualDir };

Class classOf(QByteArrayView keyType) {
    if (keyType == "IIsWebServer")
        return Class::WebServer;
    if (keyType == "IIsApplicationPool")
        return Class::ApplicationPool;
    if (keyType == "IIsFtpServer")
        return Class::FtpServer;
    if (keyType == "IIsFtpVirtualDir")
        return Class::FtpVirtualDir;
    return Class::Other;
}

// What the check found of a site's home directory.
enum class Home : std::uint8_t {
    There,   // the folder, and the default page when the site has one
    NoRoot,  // no root, or a root without a path
    Missing, // the folder is not there
    NoPage,  // the default page is not there
};

// A web site, with what its keys say as its root reads it: a value of the root, else of the site's
// key, else of the service.
struct Site {
    std::int64_t key = 0;         // its key's id
    std::int64_t root = 0;        // its ROOT virtual directory's id; 0 when there is none
    Str name;                     // its key's name: the site's number
    Str comment;                  // ServerComment, trimmed
    Str storedComment;            // ServerComment as the key holds it
    Str anonymous;                // the anonymous user
    Str password;                 // AnonymousUserPass
    Str pool;                     // AppPoolId; empty for DefaultAppPool
    Str path;                     // its root's Path
    std::uint32_t user = None;    // its anonymous user's account (index in the users)
    std::uint32_t account = None; // the accounts entry of its anonymous user's name
    bool keyNamesPool = false;    // its key holds AppPoolId
    bool rootNamesPool = false;   // its root holds AppPoolId
    bool windowMade = false; // its root carries the friendly name the window gives: it has a default page
    bool poolExists = true;  // its pool is one of the pools
    Home home = Home::There;
    Str keyPool;                 // the AppPoolId its key holds
    std::uint32_t lookup = None; // the lookup of its home directory, or of its default page
};

struct User {
    Str sid;
    Str name;
    std::uint32_t flags = 0;
    Str salt;
    std::array<unsigned char, 32> hash{}; // the SHA-256 the account keeps of its salt and password
    bool hashed = false;                  // whether it keeps one in the form it is made (lower-case hex)
};

// A user name (lower case): the account that answers to it and the sites using it.
struct AccountUse {
    std::uint32_t user = None; // the last account of the name
    int sites = 0;             // sites whose anonymous user has the name
};

// A pool name (lower case): the pool's key, when there is one, and whether anything uses the name.
struct PoolUse {
    std::int64_t key = 0;
    Str name;
    bool used = false;
};

struct RootFolder {
    Str listed; // the name as the listing spells it
    bool used = false;
};

// A binding (lower case, trimmed): the first site that lists it and, once a second one does, its
// group of sites.
struct BindingUse {
    std::uint32_t first = 0;
    std::int32_t group = -1;
};
struct SharedBinding {
    std::uint32_t binding; // the bindings entry
    std::vector<std::uint32_t> sites;
};

struct FtpDir {
    std::int64_t key = 0;
    std::int64_t parent = 0;
    Str name;
    Str path;
};

// Windows paths as WinPath::parse takes them apart, without building its names for the plain paths
// sites have: only ASCII, no "." or ".." and no name ending in a dot or a blank (which the parse
// would change), no forbidden character or device name (which make the path invalid). Anything
// else is left to WinPath::parse.
enum class PathForm { Plain, NotAbsolute, Other };

bool isDevice(Text name) {
    Text base = name.substr(0, name.find('.'));
    while (!base.empty() && base.front() == ' ')
        base.remove_prefix(1);
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    if (base.size() != 3 && base.size() != 4 && base.size() != 6 && base.size() != 7)
        return false;
    for (const Text device : {"CON", "PRN", "AUX", "NUL", "CLOCK$", "CONIN$", "CONOUT$"})
        if (sameText(base, device))
            return true;
    return base.size() == 4 && (sameText(base.substr(0, 3), "COM") || sameText(base.substr(0, 3), "LPT")) &&
           base[3] >= '1' && base[3] <= '9';
}

PathForm plainPath(Text path, char& drive, std::vector<Text>& names) {
    names.clear();
    if (path.size() > std::size_t(files::WinPath::MaxPath) || path.empty() || path.front() == ' ' ||
        path.back() == ' ')
        return PathForm::Other;
    for (const char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x80)
            return PathForm::Other;
    const char d = path[0];
    if (path.size() < 2 || path[1] != ':' || !((d >= 'A' && d <= 'Z') || (d >= 'a' && d <= 'z')))
        return PathForm::NotAbsolute;
    drive = asciiUpper(d);
    std::size_t length = 3;
    std::size_t start = 2;
    for (std::size_t i = 2; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '\\' && path[i] != '/')
            continue;
        if (i > start) {
            const Text name = path.substr(start, i - start);
            if (name.back() == '.' || name.back() == ' ' || name.find_first_of("<>:\"|?*") != Text::npos ||
                isDevice(name))
                return PathForm::Other;
            length += name.size() + (names.empty() ? 0 : 1);
            names.push_back(name);
        }
        start = i + 1;
    }
    return length > std::size_t(files::WinPath::MaxPath) ? PathForm::Other : PathForm::Plain;
}

// Finds the file type (S_IFDIR, S_IFREG, ...; 0 when there is nothing) of paths below the sites
// root's host folder, links followed, on a thread of its own while the metabase is read: each is a
// system call that walks its path, and for 100,000 sites they take about as long as the reading.
// Paths are handed over in batches; the types are there once finish() returns.
class Lookups {
public:
    // rootFd: the root's host folder, open; or -1, and hostRoot is its host path.
    Lookups(int rootFd, std::string hostRoot) : m_rootFd(rootFd), m_hostRoot(std::move(hostRoot)) {}
    ~Lookups() { finish(); }
    Lookups(const Lookups&) = delete;
    Lookups& operator=(const Lookups&) = delete;

    // Asks for the type of a path; returns the number to ask for the answer with.
    std::uint32_t add(Text relative) {
        if (m_filling.count == 0)
            m_filling.first = m_asked;
        m_filling.paths.append(relative);
        m_filling.paths += '\0';
        ++m_filling.count;
        if (m_filling.count == BatchSize)
            handOver();
        return m_asked++;
    }

    // Waits until every type asked for is known.
    void finish() {
        if (m_finished)
            return;
        m_finished = true;
        if (m_filling.count > 0) {
            if (m_worker.joinable())
                handOver();
            else
                answerHere(); // too few to be worth a thread
        }
        if (m_worker.joinable()) {
            {
                const std::lock_guard hold(m_lock);
                m_done = true;
            }
            m_wake.notify_one();
            m_worker.join();
        }
        m_types.assign(m_asked, 0);
        for (const Batch& b : m_answered)
            std::copy(b.types.begin(), b.types.end(), m_types.begin() + b.first);
        m_answered.clear();
    }

    mode_t type(std::uint32_t asked) const { return m_types[asked]; }

private:
    static constexpr std::uint32_t BatchSize = 1024;
    struct Batch {
        std::uint32_t first = 0;
        std::uint32_t count = 0;
        std::string paths; // each followed by a null
        std::vector<mode_t> types;
    };

    void look(Batch& b) const {
        b.types.resize(b.count);
        std::string host;
        const char* p = b.paths.c_str();
        for (std::uint32_t i = 0; i < b.count; ++i) {
            struct stat st {};
            int found = -1;
            if (m_rootFd >= 0) {
                found = ::fstatat(m_rootFd, p, &st, 0);
            } else {
                host = m_hostRoot + '/' + p;
                found = ::stat(host.c_str(), &st);
            }
            b.types[i] = found == 0 ? st.st_mode & S_IFMT : 0;
            p += std::strlen(p) + 1;
        }
    }

    void answerHere() {
        look(m_filling);
        m_answered.push_back(std::move(m_filling));
        m_filling = {};
    }

    void handOver() {
        if (!m_worker.joinable() && !m_noThread) {
            try {
                m_worker = std::thread([this] { work(); });
            } catch (const std::system_error&) {
                m_noThread = true;
            }
        }
        if (m_noThread) {
            answerHere();
            return;
        }
        {
            const std::lock_guard hold(m_lock);
            m_queue.push_back(std::move(m_filling));
        }
        m_wake.notify_one();
        m_filling = {};
    }

    void work() {
        for (;;) {
            Batch b;
            {
                std::unique_lock hold(m_lock);
                m_wake.wait(hold, [&] { return m_done || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                b = std::move(m_queue.front());
                m_queue.pop_front();
            }
            look(b);
            const std::lock_guard hold(m_lock);
            m_answered.push_back(std::move(b));
        }
    }

    const int m_rootFd;
    const std::string m_hostRoot;
    std::uint32_t m_asked = 0;
    Batch m_filling;             // the batch being filled (main thread)
    std::vector<mode_t> m_types; // after finish()
    bool m_finished = false;
    bool m_noThread = false;
    std::thread m_worker;
    std::mutex m_lock; // guards what follows
    std::condition_variable m_wake;
    std::deque<Batch> m_queue;     // handed over, not yet answered
    std::vector<Batch> m_answered; // answered
    bool m_done = false;           // nothing more will be handed over
};

// The state of the metabase as the check read it.
struct MetabaseState {
    std::int64_t rows = 0;
    std::int64_t w3svc = 0;    // the service's key; 0 when there is none
    std::int64_t poolsKey = 0; // W3SVC/AppPools
    int poolsKeys = 0;         // keys below W3SVC named as AppPools is
    Str serviceAnonymous, servicePassword, servicePool;
    std::vector<Site> sites; // in the order of their keys
    TextMap<PoolUse> pools;  // lower-case name
    TextMap<BindingUse> bindings;
    std::vector<SharedBinding> shared;  // in the order the bindings became shared
    std::vector<std::int64_t> ftpSites; // FTP sites named as the default one; the last is it
    std::vector<std::pair<std::int64_t, std::int64_t>> ftpRoots; // (FTP site, its ROOT)
    std::vector<FtpDir> ftpDirs; // below those ROOTs; at the end, below the default FTP site's
};

class Checker {
public:
    Checker(machine::Machine& machine, Result& result) : m(machine), r(result) {}
    ~Checker() {
        lookups.reset(); // its thread is done with the root's folder
        if (rootFd >= 0)
            ::close(rootFd);
    }
    Checker(const Checker&) = delete;
    Checker& operator=(const Checker&) = delete;

    platform::Status run();

private:
    void listRoot();
    void readAccounts();
    // Reads the keys of the web and FTP services in the order of their ids; with poolsKey, the key
    // that holds the pools is that one (when W3SVC has several keys whose names compare as AppPools,
    // the last one).
    void readMetabase(std::int64_t poolsKey);
    void readKey(std::int64_t id, std::int64_t parent, QByteArrayView path, Text name, Class cls,
                 const Props& props, std::int64_t poolsKey);
    void addSite(std::int64_t id, Text name, const Props& props);
    void addRoot(Site& s, std::int64_t id, const Props& props);
    // Settles what needs every key: each site's account, pool and folder; the default FTP site's
    // directories.
    void settle();
    // Whether the site's home directory and its default page are there; relative is the home
    // directory's path below the sites root's host folder, empty when it is not below it.
    Home homeOf(const Site& s, Text relative);
    void checkFolders();
    void checkAnonymousUsers();
    void checkPools();
    void checkFtp();
    void checkAccounts();
    void checkOrphanFolders();
    void checkAces();
    void checkRoot();
    void checkBindings();
    void add(Finding f) { r.findings.push_back(std::move(f)); }
    Finding about(Kind kind, const Site& s) const {
        return {kind, kept.qstring(s.name), kept.qstring(s.comment), {}, {}, Repair::None, {}};
    }
    Str keepText(Text s) { return kept.add(s); }
    // The key's path as written, read when a finding names it.
    QString cpathOf(std::int64_t key) const {
        auto st = m.db().prepare("SELECT cpath FROM mb_keys WHERE id = ?1");
        st.bind(1, key);
        return st.step() ? st.text(0) : QString();
    }
    // The folder directly under the sites root in which a Windows path lies (lower case, empty when
    // it lies elsewhere), and the path below the root's host folder, through that folder's name as
    // the listing spells it (empty when the folder is not listed).
    void place(Text windowsPath, std::string& folder, std::string& relative);
    void placeParsed(const files::WinPath& p, std::string& folder, std::string& relative) const;
    bool startRelative(const std::string& folder, std::string& relative) const;
    void useRootFolder(Text folder) {
        if (const std::uint32_t e = rootFolders.find(folder); e != None)
            rootFolders[e].used = true;
    }
    // The file type (S_IFDIR, S_IFREG, ...) of what a path below the sites root's host folder names,
    // links followed; 0 when there is nothing.
    mode_t typeBelowRoot(Text relative);
    // Whether a folder exists, by its host path below the sites root first, by the machine's own
    // lookup (which matches names without regard to case) when that fails.
    bool folderExists(Text windowsPath, Text relative) {
        if (!relative.empty() && typeBelowRoot(relative) == S_IFDIR)
            return true;
        const files::WinPath p = files::WinPath::parse(qstr(windowsPath));
        return p.valid() && m.files().isFolder(p);
    }
    bool fileExists(Text windowsPath, Text relative) {
        if (!relative.empty() && typeBelowRoot(relative) == S_IFREG)
            return true;
        const files::WinPath p = files::WinPath::parse(qstr(windowsPath));
        return p.valid() && m.files().exists(p) && !m.files().isFolder(p);
    }
    bool folderExists(Text windowsPath) {
        std::string folder, relative;
        place(windowsPath, folder, relative);
        return folderExists(windowsPath, relative);
    }

    machine::Machine& m;
    Result& r;
    Arena kept; // every text kept
    files::WinPath root;
    std::vector<std::string> rootNames; // the root's names when they are all ASCII
    QString rootHost;
    int rootFd = -1; // the sites root's host folder, open for lookups below it
    bool rootExists = false;
    TextMap<RootFolder> rootFolders;         // lower case
    std::vector<User> users;                 // every user account, in the database's order
    TextMap<AccountUse> accounts;            // lower-case user name
    std::vector<std::uint32_t> siteAccounts; // the users of velmorausers (indexes in users)
    QString workerGroupSid;
    MetabaseState mb;
    std::optional<Lookups> lookups;
    std::string homeFolder, homeRelative; // where a root's path lies
    // Scratch space, kept between uses.
    std::vector<Text> names;
    std::vector<std::uint32_t> ownBindings;
    std::string buffer1, buffer2, buffer3, hostName, page;
};

void Checker::placeParsed(const files::WinPath& p, std::string& folder, std::string& relative) const {
    if (!p.valid() || p.drive != root.drive || p.names.size() <= root.names.size())
        return;
    for (qsizetype i = 0; i < root.names.size(); ++i)
        if (p.names[i].compare(root.names[i], Qt::CaseInsensitive) != 0)
            return;
    const QByteArray name = p.names[root.names.size()].toLower().toUtf8();
    folder.assign(name.constData(), std::size_t(name.size()));
    if (!startRelative(folder, relative))
        return;
    for (qsizetype i = root.names.size() + 1; i < p.names.size(); ++i) {
        const QByteArray more = p.names[i].toUtf8();
        relative += '/';
        relative.append(more.constData(), std::size_t(more.size()));
    }
}

// A path's place under the sites root starts with its folder's name as the root lists it; false
// when the root (or that folder in it) does not exist.
bool Checker::startRelative(const std::string& folder, std::string& relative) const {
    if (!rootExists)
        return false;
    const std::uint32_t e = rootFolders.find(folder);
    if (e == None)
        return false;
    relative.assign(kept(rootFolders[e].listed));
    return true;
}

void Checker::place(Text windowsPath, std::string& folder, std::string& relative) {
    folder.clear();
    relative.clear();
    char drive = 0;
    const PathForm form = plainPath(windowsPath, drive, names);
    if (form == PathForm::Other) {
        placeParsed(files::WinPath::parse(qstr(windowsPath)), folder, relative);
        return;
    }
    const qsizetype depth = root.names.size();
    if (form == PathForm::NotAbsolute || !root.valid() || QChar(QLatin1Char(drive)) != root.drive ||
        qsizetype(names.size()) <= depth)
        return;
    for (qsizetype i = 0; i < depth; ++i) {
        const Text name = names[std::size_t(i)];
        if (!(rootNames.empty() ? QStringView(root.names[i])
                                          .compare(QLatin1StringView(name.data(), qsizetype(name.size())),
                                                   Qt::CaseInsensitive) == 0
                                : sameText(name, rootNames[std::size_t(i)])))
            return;
    }
    folder.assign(names[std::size_t(depth)]);
    for (char& c : folder)
        c = asciiLower(c);
    if (!startRelative(folder, relative))
        return;
    for (std::size_t i = std::size_t(depth) + 1; i < names.size(); ++i) {
        relative += '/';
        relative += names[i];
    }
}

mode_t Checker::typeBelowRoot(Text relative) {
    struct stat st {};
    int found = -1;
    if (rootFd >= 0) {
        hostName.assign(relative);
        found = ::fstatat(rootFd, hostName.c_str(), &st, 0);
    } else {
        const QByteArray host = QFile::encodeName(rootHost);
        hostName.assign(host.constData(), std::size_t(host.size()));
        hostName += '/';
        hostName += relative;
        found = ::stat(hostName.c_str(), &st);
    }
    return found == 0 ? st.st_mode & S_IFMT : 0;
}

void Checker::listRoot() {
    // One pass of readdir over the root's open folder: every entry but "." and "..", as the
    // machine lists a folder, in no particular order.
    const int fd = rootFd >= 0 ? ::dup(rootFd) : -1; // the listing takes its descriptor over
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    bool plain = dir != nullptr;
    if (dir) {
        while (const dirent* e = ::readdir(dir)) {
            const char* n = e->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
                continue;
            const Text name = canonical(QByteArrayView(n), buffer1); // as QFile::decodeName reads it
            const auto [entry, made] = rootFolders.insert(lowered(name, buffer2));
            if (!made) {
                plain = false; // names that differ only in case: the machine's sorted listing decides
                break;
            }
            rootFolders[entry].listed = keepText(name);
        }
        ::closedir(dir);
    } else if (fd >= 0) {
        ::close(fd);
    }
    if (plain)
        return;
    rootFolders = {};
    for (const QString& name : m.files().children(root)) {
        const QByteArray lower = name.toLower().toUtf8();
        const QByteArray listed = name.toUtf8();
        rootFolders[rootFolders.insert(textOf(lower)).first].listed = keepText(textOf(listed));
    }
}

void Checker::readAccounts() {
    Database& db = m.db();
    std::size_t principals = 0;
    {
        auto count = db.prepare("SELECT count(*) FROM principals");
        principals = count.step() ? std::size_t(count.number(0)) : 0;
    }
    users.reserve(principals);
    accounts.reserve(principals, principals * 16);
    kept.reserve(principals * 80);
    // Each principal in the table's order, with whether it is a member of velmorausers (its SID
    // among the group's members as the database holds them).
    auto st =
        db.prepare("SELECT p.sid, p.name, p.kind, p.flags, p.salt, p.hash, m.member_sid IS NOT NULL "
                   "FROM principals p LEFT JOIN members m ON m.group_sid IN (SELECT sid FROM principals "
                   "WHERE name = ?1) AND m.member_sid = p.sid ORDER BY p.rowid");
    st.bind(1, SiteAccountGroup);
    std::string sidBuffer, nameBuffer, saltBuffer;
    while (st.step()) {
        const Text name = canonical(st.utf8(1), nameBuffer);
        if (st.utf8(2) == "user") {
            const auto index = std::uint32_t(users.size());
            User& u = users.emplace_back();
            u.sid = keepText(canonical(st.utf8(0), sidBuffer));
            u.name = keepText(name);
            u.flags = static_cast<std::uint32_t>(st.number(3));
            u.salt = keepText(canonical(st.utf8(4), saltBuffer));
            // The hash compares as the lower-case hex AccountStore::hashPassword makes.
            const QByteArrayView hex = st.utf8(5);
            u.hashed = hex.size() == 64 && std::all_of(hex.begin(), hex.end(), [](char c) {
                           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                       });
            auto nibble = [](char c) {
                return c <= '9' ? c - '0' : c - 'a' + 10;
            };
            for (std::size_t i = 0; u.hashed && i < u.hash.size(); ++i)
                u.hash[i] = static_cast<unsigned char>(nibble(hex[qsizetype(2 * i)]) * 16 +
                                                       nibble(hex[qsizetype(2 * i + 1)]));
            accounts[accounts.insert(lowered(name, buffer1)).first].user = index;
            // The group's members that are users; their order does not matter, the findings are
            // sorted.
            if (st.number(6) != 0)
                siteAccounts.push_back(index);
        }
        if (sameText(name, "IIS_WPG"))
            workerGroupSid = st.text(0);
    }
}

void Checker::addSite(std::int64_t id, Text name, const Props& props) {
    const auto index = std::uint32_t(mb.sites.size());
    Site& s = mb.sites.emplace_back();
    s.key = id;
    s.name = keepText(name);
    s.storedComment = keepText(props.text(ServerComment, buffer1));
    if (const auto bounds = trimBounds(kept(s.storedComment)))
        s.comment = {s.storedComment.at + std::uint32_t(bounds->first), std::uint32_t(bounds->second)};
    else
        s.comment = keepText(keep(kept.qstring(s.storedComment).trimmed().toUtf8(), buffer1));
    s.anonymous =
        props.has(AnonymousUserName) ? keepText(props.text(AnonymousUserName, buffer1)) : mb.serviceAnonymous;
    s.password =
        props.has(AnonymousUserPass) ? keepText(props.text(AnonymousUserPass, buffer1)) : mb.servicePassword;
    s.keyNamesPool = props.has(AppPoolId);
    s.pool = s.keyNamesPool ? keepText(props.text(AppPoolId, buffer1)) : mb.servicePool;
    s.keyPool = s.pool;
    // Its bindings, each once: one listed twice by one site is not shared.
    ownBindings.clear();
    props.list(ServerBindings, [&](Text binding) {
        const Text normal = lowered(trimmedText(binding, buffer2), buffer3);
        if (normal.empty())
            return;
        const auto [entry, made] = mb.bindings.insert(normal);
        if (std::find(ownBindings.begin(), ownBindings.end(), entry) != ownBindings.end())
            return;
        ownBindings.push_back(entry);
        BindingUse& use = mb.bindings[entry];
        if (made) {
            use.first = index;
        } else if (use.group < 0) {
            use.group = std::int32_t(mb.shared.size());
            mb.shared.push_back({entry, {use.first, index}});
        } else {
            mb.shared[std::size_t(use.group)].sites.push_back(index);
        }
    });
}

void Checker::addRoot(Site& s, std::int64_t id, const Props& props) {
    s.root = id;
    if (props.has(AnonymousUserName))
        s.anonymous = keepText(props.text(AnonymousUserName, buffer1));
    if (props.has(AnonymousUserPass))
        s.password = keepText(props.text(AnonymousUserPass, buffer1));
    if (props.has(AppPoolId)) {
        s.rootNamesPool = true;
        s.pool = keepText(props.text(AppPoolId, buffer1));
    }
    s.path = keepText(props.text(Path, buffer1));
    // A site the window made carries its friendly name and gets the default page.
    if (props.has(AppFriendlyName)) {
        const Text friendly = props.text(AppFriendlyName, buffer1);
        constexpr Text prefix = "默认应用程序 ";
        const Text comment = kept(s.storedComment);
        s.windowMade = friendly.size() == prefix.size() + comment.size() && friendly.starts_with(prefix) &&
                       friendly.substr(prefix.size()) == comment;
    }
    // Its folder is in use; its home directory (or its default page: then the folder is there too)
    // is looked up while the rest is read.
    place(kept(s.path), homeFolder, homeRelative);
    if (!homeFolder.empty())
        useRootFolder(homeFolder);
    if (!homeRelative.empty()) {
        if (s.windowMade)
            homeRelative += "/index.html";
        s.lookup = lookups->add(homeRelative);
    }
}

void Checker::readKey(std::int64_t id, std::int64_t parent, QByteArrayView path, Text name, Class cls,
                      const Props& props, std::int64_t poolsKey) {
    if (path == "/lm/w3svc") {
        mb.w3svc = id;
        if (props.has(AnonymousUserName))
            mb.serviceAnonymous = keepText(props.text(AnonymousUserName, buffer1));
        if (props.has(AnonymousUserPass))
            mb.servicePassword = keepText(props.text(AnonymousUserPass, buffer1));
        if (props.has(AppPoolId))
            mb.servicePool = keepText(props.text(AppPoolId, buffer1));
    } else if (cls == Class::FtpServer && props.text(ServerComment, buffer1) == DefaultFtpSite) {
        mb.ftpSites.push_back(id); // the last one wins, as the window's start-up finds it
    }
    const bool isRoot = sameText(name, "ROOT");
    bool siteKey = false;
    if (mb.w3svc != 0 && parent == mb.w3svc) {
        siteKey = cls == Class::WebServer;
        if (siteKey)
            addSite(id, name, props);
        if (sameText(name, "AppPools")) {
            ++mb.poolsKeys;
            if (!poolsKey)
                mb.poolsKey = id;
        }
    }
    // The sites come in the order of their ids: the one of a ROOT is the last one (as when the
    // site was made with its root), or found by halving.
    Site* site = nullptr;
    if (isRoot && !mb.sites.empty() && mb.sites.back().key == parent) {
        site = &mb.sites.back();
    } else if (isRoot && !mb.sites.empty()) {
        const auto it = std::lower_bound(mb.sites.begin(), mb.sites.end(), parent,
                                         [](const Site& s, std::int64_t key) { return s.key < key; });
        if (it != mb.sites.end() && it->key == parent)
            site = &*it;
    }
    const bool inPools = mb.poolsKey != 0 && parent == mb.poolsKey;
    if (site) {
        addRoot(*site, id, props);
    } else if (inPools && cls == Class::ApplicationPool) {
        PoolUse& pool = mb.pools[mb.pools.insert(lowered(name, buffer1)).first];
        pool.key = id;
        pool.name = keepText(name);
    } else if (isRoot && std::binary_search(mb.ftpSites.begin(), mb.ftpSites.end(), parent)) {
        mb.ftpRoots.push_back({parent, id});
    }
    if (cls == Class::FtpVirtualDir && std::any_of(mb.ftpRoots.begin(), mb.ftpRoots.end(),
                                                   [&](const auto& fr) { return fr.second == parent; }))
        mb.ftpDirs.push_back({id, parent, keepText(name), keepText(props.text(Path, buffer1))});
    // Every pool named below W3SVC, outside the pools themselves, is in use (those a site's key or
    // root names when the site is settled).
    if (props.has(AppPoolId) && !inPools && !siteKey && !site)
        mb.pools[mb.pools.insert(lowered(props.text(AppPoolId, buffer1), buffer2)).first].used = true;
}

void Checker::readMetabase(std::int64_t poolsKey) {
    mb = {};
    mb.poolsKey = poolsKey;
    lookups.reset();
    const QByteArray hostRoot = QFile::encodeName(rootHost);
    lookups.emplace(rootFd, std::string(hostRoot.constData(), std::size_t(hostRoot.size())));
    // Room for what the keys below W3SVC and AppPools bring, so that nothing is copied as it grows.
    auto children = [&](const QString& path) {
        auto st = m.db().prepare(
            "SELECT count(*) FROM mb_keys WHERE parent = (SELECT id FROM mb_keys WHERE path = ?1)");
        st.bind(1, path);
        return st.step() ? std::size_t(st.number(0)) : 0;
    };
    const std::size_t sites = children(u"/lm/w3svc"_s);
    const std::size_t pools = children(u"/lm/w3svc/apppools"_s);
    mb.sites.reserve(sites);
    mb.bindings.reserve(2 * sites, 2 * sites * 24);
    mb.pools.reserve(pools + 16, (pools + 16) * 16);
    kept.reserve(sites * 160);
    // The rows lie in the order of their ids in the table: one pass over it, without a sort.
    auto st =
        m.db().prepare("SELECT id, parent, path, name, keytype, props FROM mb_keys WHERE path = '/lm/w3svc' "
                       "OR substr(path, 1, 10) = '/lm/w3svc/' OR substr(path, 1, 13) = '/lm/msftpsvc/' "
                       "ORDER BY id");
    std::string nameBuffer, recordBuffer;
    Props props;
    while (st.step()) {
        ++mb.rows;
        const Text name = canonical(st.utf8(3), nameBuffer);
        props.read(canonical(st.utf8(5), recordBuffer));
        readKey(st.number(0), st.isNull(1) ? 0 : st.number(1), st.utf8(2), name, classOf(st.utf8(4)), props,
                poolsKey);
    }
}

void Checker::settle() {
    lookups->finish();
    if (mb.w3svc == 0) {
        mb.ftpDirs.clear(); // without the web service there is nothing to check against
        return;
    }
    // The default FTP site's directories.
    std::int64_t ftpRoot = 0;
    if (!mb.ftpSites.empty())
        for (const auto& [site, root] : mb.ftpRoots)
            if (site == mb.ftpSites.back())
                ftpRoot = root;
    std::erase_if(mb.ftpDirs, [&](const FtpDir& d) { return ftpRoot == 0 || d.parent != ftpRoot; });
    std::string folder, relative;
    for (Site& s : mb.sites) {
        const std::uint32_t a = accounts.find(lowered(accountPart(kept(s.anonymous)), buffer1));
        if (a != None) {
            ++accounts[a].sites;
            s.user = accounts[a].user;
            s.account = a;
        }
        const Text pool = s.pool.empty() ? DefaultPool : kept(s.pool);
        PoolUse& use = mb.pools[mb.pools.insert(lowered(pool, buffer1)).first];
        use.used = true;
        s.poolExists = use.key != 0;
        // The pools its key and root name, where they are not the one it uses.
        auto named = [&](Text name) {
            mb.pools[mb.pools.insert(lowered(name, buffer1)).first].used = true;
        };
        if (s.keyNamesPool && (s.rootNamesPool || s.keyPool.empty()))
            named(kept(s.keyPool));
        if (s.rootNamesPool && s.pool.empty() && s.key != mb.poolsKey)
            named({});
        const mode_t found = s.lookup == None ? 0 : lookups->type(s.lookup);
        if (found == (s.windowMade ? S_IFREG : S_IFDIR)) {
            s.home = Home::There;
        } else {
            place(kept(s.path), folder, relative);
            s.home = homeOf(s, relative);
        }
    }
    for (const FtpDir& d : mb.ftpDirs) {
        place(kept(d.path), folder, relative);
        useRootFolder(folder);
    }
}

Home Checker::homeOf(const Site& s, Text relative) {
    const Text path = kept(s.path);
    if (!s.root || path.empty())
        return Home::NoRoot;
    if (s.windowMade && !relative.empty()) {
        // The page found as a file below its folder: the folder is there too.
        page.assign(relative);
        page += "/index.html";
        if (typeBelowRoot(page) == S_IFREG)
            return Home::There;
    }
    if (!folderExists(path, relative))
        return Home::Missing;
    if (!s.windowMade)
        return Home::There;
    const QByteArray windowsPage = (qstr(path) + u"\\index.html"_s).toUtf8();
    page.assign(relative);
    if (!relative.empty())
        page += "/index.html";
    return fileExists(textOf(windowsPage), page) ? Home::There : Home::NoPage;
}

void Checker::checkFolders() {
    for (const Site& s : mb.sites) {
        if (s.home == Home::There)
            continue;
        Finding f = about(Kind::MissingFolder, s);
        switch (s.home) {
        case Home::NoRoot:
            f.object = cpathOf(s.key) + u"/ROOT"_s;
            f.problem = u"网站没有主目录"_s;
            break;
        case Home::Missing:
            f.object = kept.qstring(s.path);
            f.problem = u"主目录不存在"_s;
            break;
        default:
            f.object = kept.qstring(s.path) + u"\\index.html"_s;
            f.problem = u"默认页不存在"_s;
            break;
        }
        add(f);
    }
}

void Checker::checkAnonymousUsers() {
    QCryptographicHash sha(QCryptographicHash::Sha256);
    for (const Site& s : mb.sites) {
        const Text anonymous = kept(s.anonymous);
        if (anonymous.empty())
            continue;
        const Text name = accountPart(anonymous);
        QString problem;
        std::optional<QString> own; // the site's own account, which may take the stored password
        if (s.user == None) {
            problem = u"匿名用户不存在，访问者会得到 401"_s;
        } else if (const User& u = users[s.user]; u.flags & platform::userflags::AccountDisable) {
            problem = u"匿名用户已停用，访问者会得到 401"_s;
        } else {
            // As AccountStore::hashPassword makes it: SHA-256 of the salt and the password.
            sha.reset();
            const Text salt = kept(u.salt);
            const Text password = kept(s.password);
            sha.addData(QByteArrayView(salt.data(), qsizetype(salt.size())));
            sha.addData(QByteArrayView(password.data(), qsizetype(password.size())));
            if (u.hashed && std::memcmp(sha.resultView().data(), u.hash.data(), u.hash.size()) == 0)
                continue;
            problem = u"元数据库中的匿名用户密码与帐户密码不符，访问者会得到 401"_s;
            // Only the site's own account, used by no other site, may take the stored password.
            if (sameText(name, kept(s.comment)) && accounts[s.account].sites == 1)
                own = kept.qstring(u.name);
        }
        Finding f = about(Kind::AnonymousUser, s);
        f.object = qstr(name);
        f.problem = problem;
        if (own) {
            f.repair = Repair::SyncAnonymousPassword;
            f.argument = *own;
        }
        add(f);
    }
}

void Checker::checkPools() {
    for (const Site& s : mb.sites) {
        if (s.poolExists)
            continue;
        Finding f = about(Kind::MissingPool, s);
        f.object = u"AppPoolId = "_s + (s.pool.empty() ? qstr(DefaultPool) : kept.qstring(s.pool));
        f.problem = u"网站的应用程序池不存在"_s;
        f.repair = Repair::ResetPool;
        QStringList holders; // the keys of the site that name the pool
        if (s.keyNamesPool)
            holders << cpathOf(s.key);
        if (s.root && s.rootNamesPool)
            holders << cpathOf(s.root);
        f.argument = holders.join(u'\n');
        if (holders.isEmpty())
            f.repair = Repair::None; // inherited from the service: not the site's to change
        add(f);
    }
    for (const auto& e : mb.pools.entries()) {
        const PoolUse& p = e.value;
        if (p.key == 0 || p.used || sameText(kept(p.name), DefaultPool))
            continue;
        const QString cpath = cpathOf(p.key);
        add({Kind::UnusedPool,
             {},
             kept.qstring(p.name),
             cpath,
             u"没有网站使用这个应用程序池"_s,
             Repair::DeletePool,
             cpath});
    }
}

void Checker::checkFtp() {
    if (mb.ftpDirs.empty())
        return;
    TextMap<char> names; // the sites' names in upper case
    for (const Site& s : mb.sites)
        names.insert(uppered(kept(s.comment), buffer1));
    for (const FtpDir& d : mb.ftpDirs) {
        const Text name = kept(d.name);
        if (!names.contains(uppered(trimmedText(name, buffer1), buffer2))) {
            const QString cpath = cpathOf(d.key);
            add({Kind::FtpDirectory,
                 {},
                 qstr(name),
                 cpath,
                 u"FTP 目录的网站不存在"_s,
                 Repair::DeleteFtpDirectory,
                 cpath});
        } else if (const Text path = kept(d.path); !folderExists(path)) {
            add({Kind::FtpDirectory,
                 {},
                 qstr(name),
                 qstr(path),
                 u"FTP 目录的文件夹不存在"_s,
                 Repair::None,
                 {}});
        }
    }
}

void Checker::checkAccounts() {
    TextMap<char> ftpNames;
    for (const FtpDir& d : mb.ftpDirs)
        ftpNames.insert(lowered(trimmedText(kept(d.name), buffer1), buffer2));
    for (const std::uint32_t index : siteAccounts) {
        const User& u = users[index];
        if (u.flags & platform::userflags::AccountDisable)
            continue;
        const Text name = lowered(kept(u.name), buffer1);
        if (const std::uint32_t a = accounts.find(name);
            (a != None && accounts[a].sites > 0) || ftpNames.contains(name))
            continue;
        add({Kind::UnusedAccount,
             {},
             {},
             kept.qstring(u.name),
             u"velmorausers 中的帐户没有网站或 FTP 目录使用"_s,
             Repair::DisableAccount,
             kept.qstring(u.name)});
    }
}

void Checker::checkOrphanFolders() {
    if (!rootExists)
        return;
    QStringList orphans;
    for (const auto& e : rootFolders.entries())
        if (!e.value.used && typeBelowRoot(kept(e.value.listed)) == S_IFDIR)
            orphans << kept.qstring(e.value.listed);
    orphans.sort(Qt::CaseInsensitive);
    for (const QString& name : orphans)
        add({Kind::OrphanFolder,
             {},
             {},
             root.toString() + u'\\' + name,
             u"主目录下的文件夹没有网站或 FTP 目录使用"_s,
             Repair::None,
             {}});
}

void Checker::checkAces() {
    const QString prefix = root.toString().toLower();
    // The entries on the root and below it, in the order of the index on their path (whose range
    // holds every path that starts with the root's), each with whether its account still exists.
    auto st = m.db().prepare(
        "SELECT a.path, a.deny, a.sid, p.sid IS NOT NULL FROM aces a LEFT JOIN principals p ON p.sid = a.sid "
        "WHERE a.sid <> '' AND a.path >= ?1 AND a.path < ?1 || ']' AND (a.path = ?1 OR "
        "substr(a.path, 1, length(?1) + 1) = ?1 || '\\') ORDER BY a.path, a.id");
    st.bind(1, prefix);
    // The sites' own accounts (an account named like its site, serving as its anonymous user) and
    // the sites' folders, gathered at the first entry.
    TextMap<std::uint32_t> ownAccount; // SID -> site
    TextMap<std::uint32_t> folderSite; // lower-case folder under the root -> site
    std::string folder, relative, sidBuffer;
    bool gathered = false;
    auto gather = [&] {
        gathered = true;
        for (std::uint32_t i = 0; i < mb.sites.size(); ++i) {
            const Site& s = mb.sites[i];
            place(kept(s.path), folder, relative);
            if (!folder.empty())
                folderSite[folderSite.insert(folder).first] = i;
            if (s.user != None && sameText(accountPart(kept(s.anonymous)), kept(s.comment)))
                ownAccount[ownAccount.insert(kept(users[s.user].sid)).first] = i;
        }
    };
    auto siteOf = [&](const TextMap<std::uint32_t>& map, Text key) -> const Site* {
        const std::uint32_t e = map.find(key);
        return e == None ? nullptr : &mb.sites[map[e]];
    };
    QString path;
    QByteArray pathBytes;        // the path as the database holds it
    const Site* owner = nullptr; // the site whose folder holds the path
    QStringList deleted;
    QSet<QString> foreign;
    auto flush = [&] {
        if (path.isEmpty() || (deleted.isEmpty() && foreign.isEmpty()))
            return;
        const QString shown = m.files().displayPath(files::WinPath::parse(path));
        if (!deleted.isEmpty())
            add({Kind::DeletedAccountAce, owner ? kept.qstring(owner->name) : QString(),
                 owner ? kept.qstring(owner->comment) : QString(), shown,
                 u"权限项属于已删除的帐户："_s + deleted.join(u", "_s), Repair::RemoveAces,
                 deleted.join(u' ')});
        QStringList names(foreign.begin(), foreign.end());
        names.sort();
        for (const QString& name : names)
            add({Kind::ForeignAccountAce,
                 kept.qstring(owner->name),
                 kept.qstring(owner->comment),
                 shown,
                 u"网站文件夹授予了另一个网站的帐户 %1 权限"_s.arg(name),
                 Repair::None,
                 {}});
        deleted.clear();
        foreign.clear();
    };
    while (st.step()) {
        if (!gathered)
            gather();
        if (st.utf8(0) != QByteArrayView(pathBytes)) {
            flush();
            pathBytes = st.utf8(0).toByteArray();
            path = QString::fromUtf8(pathBytes);
            const QByteArray canonicalPath = path.toUtf8();
            place(textOf(canonicalPath), folder, relative);
            owner = siteOf(folderSite, folder);
        }
        const QString sid = st.text(2);
        if (st.number(3) == 0) {
            if (!deleted.contains(u'*' + sid))
                deleted << u'*' + sid;
            continue;
        }
        if (st.number(1) != 0)
            continue; // a deny takes nothing away from the folder's own site
        const Site* granted = siteOf(ownAccount, canonical(st.utf8(2), sidBuffer));
        if (owner && granted && granted != owner)
            foreign.insert(qstr(accountPart(kept(granted->anonymous))));
    }
    flush();
}

void Checker::checkRoot() {
    if (!rootExists) {
        add({Kind::RootNotSecured, {}, {}, root.toString(), u"主目录不存在"_s, Repair::None, {}});
        return;
    }
    bool worker = false;
    for (const accounts::Ace& a : m.files().explicitAces(root))
        if (!a.deny && a.sid == workerGroupSid && (a.mask & WorkerRights) == WorkerRights &&
            (a.flags & Inherits) == Inherits)
            worker = true;
    QStringList left;
    for (const accounts::Ace& a : m.files().effectiveAces(root)) {
        if (a.sid == UsersSid && !left.contains(u"Users"_s))
            left << u"Users"_s;
        if (a.sid == CreatorOwnerSid && !left.contains(u"CREATOR OWNER"_s))
            left << u"CREATOR OWNER"_s;
    }
    QStringList problems;
    if (!worker)
        problems << u"没有 IIS_WPG 的读取权限"_s;
    if (!left.isEmpty())
        problems << u"仍有 %1 的权限"_s.arg(left.join(u"、"_s));
    if (!problems.isEmpty())
        add({Kind::RootNotSecured,
             {},
             {},
             m.files().displayPath(root),
             u"主目录未按设置主目录时的方式加固："_s + problems.join(u"；"_s),
             Repair::SecureRoot,
             {}});
}

void Checker::checkBindings() {
    for (const SharedBinding& b : mb.shared) {
        QStringList numbers, names;
        for (const std::uint32_t i : b.sites) {
            numbers << kept.qstring(mb.sites[i].name);
            names << kept.qstring(mb.sites[i].comment);
        }
        add({Kind::SharedBinding,
             numbers.join(u','),
             names.join(u','),
             qstr(mb.bindings.key(b.binding)),
             u"%1 个网站使用同一个绑定，只有一个能启动"_s.arg(b.sites.size()),
             Repair::None,
             {}});
    }
}

platform::Status Checker::run() {
    r.sitesRoot = sitesRoot(m);
    root = files::WinPath::parse(r.sitesRoot);
    if (!root.valid())
        return platform::Error{platform::hr::BadPathname, u"设置文件中的主目录无效：%1"_s.arg(r.sitesRoot)};
    for (const QString& name : std::as_const(root.names))
        rootNames.push_back(name.toStdString());
    if (!std::all_of(rootNames.begin(), rootNames.end(), [](const std::string& n) { return isAscii(n); }))
        rootNames.clear();
    Database::ReadScope scope(m.db());
    rootExists = m.files().isFolder(root);
    if (rootExists) {
        rootHost = m.files().hostPath(root);
        rootFd = ::open(QFile::encodeName(rootHost).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        listRoot();
    }
    readAccounts();
    readMetabase(0);
    if (mb.poolsKeys > 1) // the pools are those of the last key named as AppPools: read again knowing it
        readMetabase(mb.poolsKey);
    if (!m.db().lastError().isEmpty() && mb.rows == 0)
        return platform::Error{platform::hr::Fail, m.db().lastError()};
    settle();
    checkFolders();
    checkAnonymousUsers();
    checkPools();
    checkFtp();
    checkAccounts();
    checkOrphanFolders();
    checkAces();
    checkRoot();
    checkBindings();
    std::stable_sort(r.findings.begin(), r.findings.end(), [](const Finding& a, const Finding& b) {
        if (a.kind != b.kind)
            return a.kind < b.kind;
        if (a.site.size() != b.site.size())
            return a.site.size() < b.site.size(); // numbers: shorter first
        if (a.site != b.site)
            return a.site < b.site;
        return a.object < b.object;
    });
    return {};
}

} // namespace

QString kindName(Kind kind) {
    switch (kind) {
    case Kind::MissingFolder:
        return u"missing-folder"_s;
    case Kind::AnonymousUser:
        return u"anonymous-user"_s;
    case Kind::MissingPool:
        return u"missing-pool"_s;
    case Kind::UnusedPool:
        return u"unused-pool"_s;
    case Kind::FtpDirectory:
        return u"ftp-directory"_s;
    case Kind::UnusedAccount:
        return u"unused-account"_s;
    case Kind::OrphanFolder:
        return u"orphan-folder"_s;
    case Kind::DeletedAccountAce:
        return u"deleted-account-entry"_s;
    case Kind::ForeignAccountAce:
        return u"foreign-account-entry"_s;
    case Kind::RootNotSecured:
        return u"root-not-secured"_s;
    case Kind::SharedBinding:
        return u"shared-binding"_s;
    }
    return {};
}

QString repairText(const Finding& f) {
    switch (f.repair) {
    case Repair::None:
        return u"仅报告"_s;
    case Repair::DeletePool:
        return u"删除应用程序池 "_s + f.object;
    case Repair::ResetPool:
        return u"AppPoolId 改回 DefaultAppPool"_s;
    case Repair::DeleteFtpDirectory:
        return u"删除 FTP 目录 "_s + f.object + u"（不删除文件夹）"_s;
    case Repair::RemoveAces:
        return u"icacls 删除 "_s + f.argument + u" 的权限项"_s;
    case Repair::SecureRoot:
        return u"重新加固主目录（设置主目录时的五条命令）"_s;
    case Repair::DisableAccount:
        return u"停用帐户（不删除）"_s;
    case Repair::SyncAnonymousPassword:
        return u"把网站自己的帐户 %1 的密码设为元数据库中的匿名用户密码"_s.arg(f.argument);
    }
    return {};
}

QString sitesRoot(machine::Machine& machine) {
    const QString fallback = u"D:\\WebRoot"_s;
    QFile f(machine.hostPath(u"C:\\WINDOWS\\system32\\drivers\\config.ini"_s));
    if (!f.open(QIODevice::ReadOnly))
        return fallback;
    bool inSection = false;
    for (const QString& raw : platform::fromAnsi(f.readAll()).split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            inSection =
                line.mid(1, line.indexOf(u']') - 1).trimmed().compare(u"HomePath"_s, Qt::CaseInsensitive) ==
                0;
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (inSection && eq > 0 && line.left(eq).trimmed().compare(u"PATH"_s, Qt::CaseInsensitive) == 0) {
            const QString value = line.mid(eq + 1).trimmed();
            return value.isEmpty() ? fallback : value;
        }
    }
    return fallback;
}

platform::Outcome<Result> run(machine::Machine& machine) {
    Result result;
    Checker checker(machine, result);
    if (auto s = checker.run(); !s)
        return s.error();
    return result;
}

} // namespace emulation::check
