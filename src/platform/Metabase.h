#pragma once

#include "platform/Outcome.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

namespace platform {

// One element of a MimeMap list: an object of class "MimeMap".
struct MimeMapEntry {
    QString Extension;
    QString MimeType;
    bool operator==(const MimeMapEntry&) const = default;
};
using MimeMapList = QList<MimeMapEntry>;

// A metabase property value: string, number (DWORD), boolean, string list or MimeMap list.
class MetaValue {
public:
    using Storage = std::variant<QString, std::uint32_t, bool, QStringList, MimeMapList>;
    enum class Kind { String, Number, Boolean, StringList, MimeMap };

    MetaValue() : m_v(QString()) {}
    MetaValue(QString s) : m_v(std::move(s)) {}
    MetaValue(const char16_t* s) : m_v(QString::fromUtf16(s)) {}
    MetaValue(std::uint32_t n) : m_v(n) {}
    MetaValue(int n) : m_v(static_cast<std::uint32_t>(n)) {}
    MetaValue(bool b) : m_v(b) {}
    MetaValue(QStringList l) : m_v(std::move(l)) {}
    MetaValue(MimeMapList l) : m_v(std::move(l)) {}

    Kind kind() const { return static_cast<Kind>(m_v.index()); }
    const Storage& storage() const { return m_v; }

    // Conversions as a script reading the value would see it.
    QString toString() const;
    std::uint32_t toNumber() const;
    bool toBool() const;
    QStringList toStringList() const;
    MimeMapList toMimeMap() const;

    bool operator==(const MetaValue&) const = default;

private:
    Storage m_v;
};

// A child as enumeration shows it.
struct MetaChild {
    QString Class;
    QString Name;
};

// PutEx control codes of the directory service.
enum class PutExControl { Clear = 1, Update = 2, Append = 3, Delete = 4 };

// An "IIS://" directory-service object, bound for one operation. Reads go through the object's
// property cache; Put changes only the cache until SetInfo stores it in one transaction.
class MetabaseObject {
public:
    virtual ~MetabaseObject() = default;

    virtual QString Class() const = 0;
    virtual QString Name() const = 0;
    virtual QString ADsPath() const = 0;

    virtual Outcome<MetaValue> Get(const QString& property) = 0;
    virtual void Put(const QString& property, const MetaValue& value) = 0;
    virtual Status SetInfo() = 0;

    // The children's class and name, in metabase order.
    virtual Outcome<std::vector<MetaChild>> Children() = 0;
    // The children as bound objects, in metabase order (a script's For Each over the object).
    virtual Outcome<std::vector<std::unique_ptr<MetabaseObject>>> Enumerate() = 0;
    virtual Outcome<std::unique_ptr<MetabaseObject>> Create(const QString& cls, const QString& name) = 0;
    virtual Status Delete(const QString& cls, const QString& name) = 0;
    virtual Outcome<std::unique_ptr<MetabaseObject>> GetObject(const QString& cls, const QString& name) = 0;

    virtual Status Start() = 0;
    virtual Status Stop() = 0;
    virtual Status Pause() = 0;
    virtual Status Continue() = 0;
    // Makes a virtual directory an application root; inProcess is the in-process flag of AppCreate.
    virtual Status AppCreate(bool inProcess) = 0;

    virtual Outcome<MimeMapList> GetEx(const QString& property) = 0;
    virtual Status PutEx(PutExControl control, const QString& property, const MimeMapList& values) = 0;
};

// Held for the length of one operation that only reads: every bind and read inside it sees one
// consistent state of the metabase.
class MetabaseReadScope {
public:
    virtual ~MetabaseReadScope() = default;
};

// The IIS metabase, reached by "IIS://" paths.
class Metabase {
public:
    virtual ~Metabase() = default;
    virtual Outcome<std::unique_ptr<MetabaseObject>> Bind(const QString& adsPath) = 0;
    virtual std::unique_ptr<MetabaseReadScope> ReadScope() = 0;
};

using MetabaseObjectPtr = std::unique_ptr<MetabaseObject>;

} // namespace platform
