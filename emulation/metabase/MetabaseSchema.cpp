#include "emulation/metabase/MetabaseSchema.h"

#include <QHash>

namespace emulation::metabase::schema {

using namespace Qt::Literals::StringLiterals;

namespace {

struct PropertyDef {
    const char16_t* name;
    Kind kind;
    bool inheritable;
};

// The properties this metabase knows, with their IIS 6 types. Names not listed are stored with
// the type of the value put, and are not inherited.
const PropertyDef Properties[] = {
    {u"KeyType", Kind::String, false},
    {u"ServerComment", Kind::String, false},
    {u"ServerBindings", Kind::StringList, false},
    {u"SecureBindings", Kind::StringList, false},
    {u"ServerState", Kind::Number, false},
    {u"ServerAutoStart", Kind::Boolean, false},
    {u"ServerSize", Kind::Number, true},
    {u"Path", Kind::String, false},
    {u"AnonymousUserName", Kind::String, true},
    {u"AnonymousUserPass", Kind::String, true},
    {u"AnonymousPasswordSync", Kind::Boolean, true},
    {u"WAMUserName", Kind::String, true},
    {u"WAMUserPass", Kind::String, true},
    {u"AuthFlags", Kind::Number, true},
    {u"AccessFlags", Kind::Number, true},
    {u"AccessSSLFlags", Kind::Number, true},
    {u"DirBrowseFlags", Kind::Number, true},
    {u"DefaultDoc", Kind::String, true},
    {u"MimeMap", Kind::MimeMap, true},
    {u"ScriptMaps", Kind::StringList, true},
    {u"HttpCustomHeaders", Kind::StringList, true},
    {u"HttpErrors", Kind::StringList, true},
    {u"HttpRedirect", Kind::String, true},
    {u"AppPoolId", Kind::String, true},
    {u"AppRoot", Kind::String, true},
    {u"AppIsolated", Kind::Number, true},
    {u"AppFriendlyName", Kind::String, false},
    {u"AppAllowDebugging", Kind::Boolean, true},
    {u"AspEnableParentPaths", Kind::Boolean, true},
    {u"AspScriptTimeout", Kind::Number, true},
    {u"FrontPageWeb", Kind::Boolean, false},
    {u"LogType", Kind::Number, true},
    {u"LogFileDirectory", Kind::String, true},
    {u"LogFilePeriod", Kind::Number, true},
    {u"LogFileTruncateSize", Kind::Number, true},
    {u"LogPluginClsid", Kind::String, true},
    {u"LogExtFileFlags", Kind::Number, true},
    {u"CentralBinaryLoggingEnabled", Kind::Boolean, false},
    {u"CentralW3CLoggingEnabled", Kind::Boolean, false},
    {u"DontLog", Kind::Boolean, true},
    {u"MaxConnections", Kind::Number, true},
    {u"ConnectionTimeout", Kind::Number, true},
    {u"AllowAnonymous", Kind::Boolean, true},
    {u"AnonymousOnly", Kind::Boolean, true},
    {u"ExitMessage", Kind::String, true},
    {u"GreetingMessage", Kind::StringList, true},
    {u"MaxClientsMessage", Kind::String, true},
    {u"MSDOSDirOutput", Kind::Boolean, true},
    {u"UserIsolationMode", Kind::Number, false},
    {u"AppPoolIdentityType", Kind::Number, true},
    {u"AppPoolState", Kind::Number, false},
    {u"AppPoolAutoStart", Kind::Boolean, true},
    {u"PeriodicRestartTime", Kind::Number, true},
    {u"IdleTimeout", Kind::Number, true},
    {u"MaxProcesses", Kind::Number, true},
    {u"WebSvcExtRestrictionList", Kind::StringList, false},
    {u"ApplicationDependencies", Kind::StringList, false},
    {u"Win32Error", Kind::Number, false},
};

struct FlagDef {
    const char16_t* name;
    const char16_t* flags;
    std::uint32_t bit;
};

const FlagDef Flags[] = {
    {u"AccessRead", u"AccessFlags", 0x1},
    {u"AccessWrite", u"AccessFlags", 0x2},
    {u"AccessExecute", u"AccessFlags", 0x4},
    {u"AccessSource", u"AccessFlags", 0x10},
    {u"AccessScript", u"AccessFlags", 0x200},
    {u"AccessNoRemoteWrite", u"AccessFlags", 0x400},
    {u"AccessNoRemoteRead", u"AccessFlags", 0x1000},
    {u"AccessNoRemoteExecute", u"AccessFlags", 0x2000},
    {u"AccessNoRemoteScript", u"AccessFlags", 0x4000},
    {u"AccessNoPhysicalDir", u"AccessFlags", 0x8000},
    {u"AuthAnonymous", u"AuthFlags", 0x1},
    {u"AuthBasic", u"AuthFlags", 0x2},
    {u"AuthNTLM", u"AuthFlags", 0x4},
    {u"AuthMD5", u"AuthFlags", 0x10},
    {u"AuthPassport", u"AuthFlags", 0x40},
    {u"EnableDirBrowsing", u"DirBrowseFlags", 0x80000000},
    {u"DirBrowseShowDate", u"DirBrowseFlags", 0x2},
    {u"DirBrowseShowTime", u"DirBrowseFlags", 0x4},
    {u"DirBrowseShowSize", u"DirBrowseFlags", 0x8},
    {u"DirBrowseShowExtension", u"DirBrowseFlags", 0x10},
    {u"DirBrowseShowLongDate", u"DirBrowseFlags", 0x20},
    {u"EnableDefaultDoc", u"DirBrowseFlags", 0x40000000},
};

const QHash<QString, const PropertyDef*>& propertyIndex() {
    static const QHash<QString, const PropertyDef*> index = [] {
        QHash<QString, const PropertyDef*> h;
        for (const auto& p : Properties)
            h.insert(QString::fromUtf16(p.name).toLower(), &p);
        return h;
    }();
    return index;
}

const QHash<QString, const FlagDef*>& flagIndex() {
    static const QHash<QString, const FlagDef*> index = [] {
        QHash<QString, const FlagDef*> h;
        for (const auto& f : Flags)
            h.insert(QString::fromUtf16(f.name).toLower(), &f);
        return h;
    }();
    return index;
}

} // namespace

std::optional<Kind> typeOf(const QString& property) {
    const auto* def = propertyIndex().value(property.toLower());
    if (def)
        return def->kind;
    if (flagIndex().contains(property.toLower()))
        return Kind::Boolean;
    return std::nullopt;
}

bool isInheritable(const QString& property) {
    const auto* def = propertyIndex().value(property.toLower());
    return def && def->inheritable;
}

bool isSecure(const QString& property) {
    for (const char16_t* name :
         {u"AnonymousUserPass", u"WAMUserPass", u"UNCPassword", u"LogOdbcPassword", u"ADConnectionsPassword"})
        if (property.compare(QString::fromUtf16(name), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

std::optional<FlagBit> flagBit(const QString& property) {
    const auto* f = flagIndex().value(property.toLower());
    if (!f)
        return std::nullopt;
    return FlagBit{QString::fromUtf16(f->flags), f->bit};
}

std::vector<std::pair<QString, std::uint32_t>> flagNames(const QString& flagsProperty) {
    std::vector<std::pair<QString, std::uint32_t>> out;
    for (const auto& f : Flags)
        if (flagsProperty.compare(QString::fromUtf16(f.flags), Qt::CaseInsensitive) == 0)
            out.emplace_back(QString::fromUtf16(f.name), f.bit);
    return out;
}

QString canonicalName(const QString& property) {
    if (const auto* def = propertyIndex().value(property.toLower()))
        return QString::fromUtf16(def->name);
    if (const auto* f = flagIndex().value(property.toLower()))
        return QString::fromUtf16(f->name);
    return property;
}

platform::MetaValue coerce(const QString& property, const platform::MetaValue& value) {
    const auto kind = typeOf(property);
    if (!kind || *kind == value.kind())
        return value;
    switch (*kind) {
    case Kind::String:
        return value.toString();
    case Kind::Number:
        return value.toNumber();
    case Kind::Boolean:
        return value.toBool();
    case Kind::StringList:
        return value.toStringList();
    case Kind::MimeMap:
        break;
    }
    // A MimeMap given as ".ext,type" strings.
    platform::MimeMapList list;
    for (const QString& s : value.toStringList()) {
        const qsizetype comma = s.indexOf(u',');
        if (comma > 0)
            list.append({s.left(comma).trimmed(), s.mid(comma + 1).trimmed()});
    }
    return list;
}

} // namespace emulation::metabase::schema
