#pragma once

#include "platform/Metabase.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace emulation::metabase::schema {

using Kind = platform::MetaValue::Kind;

// The declared type of a property, when the schema knows it.
std::optional<Kind> typeOf(const QString& property);

// Whether a key without the property reads it from its parents.
bool isInheritable(const QString& property);

// Properties IIS keeps encrypted in MetaBase.xml (the schema's SECURE attribute).
bool isSecure(const QString& property);

// Boolean properties that are bits of a flags property (AccessRead is bit 1 of AccessFlags).
struct FlagBit {
    QString flagsProperty;
    std::uint32_t bit;
};
std::optional<FlagBit> flagBit(const QString& property);

// The named bits of a flags property, for MetaBase.xml ("AccessRead | AccessScript").
std::vector<std::pair<QString, std::uint32_t>> flagNames(const QString& flagsProperty);

// Canonical spelling of a known property name ("appPoolID" -> "AppPoolId"); unknown names as given.
QString canonicalName(const QString& property);

// Brings a value to the declared type of the property (a number given as text becomes a number).
platform::MetaValue coerce(const QString& property, const platform::MetaValue& value);

} // namespace emulation::metabase::schema
