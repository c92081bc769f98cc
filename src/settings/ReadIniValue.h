#pragma once

#include "platform/ProfileStore.h"

#include <QString>

#include <optional>

namespace settings {

// The program's settings file.
inline const QString SettingsFile = QStringLiteral("C:\\Windows\\System32\\drivers\\config.ini");

// Reads section/key. A missing or empty key is written with the default (a null default removes
// it) and the default, or the empty string, is returned.
QString ReadIniValue(platform::ProfileStore& store, const QString& section, const QString& key,
                     const std::optional<QString>& defaultValue, const QString& file = SettingsFile);

// A stored truth value: "True"/"TRUE"/"true" and non-zero numbers read as true. Anything else
// (including text that is neither a truth word nor a number) reads as false.
bool ReadsTrue(const QString& text);

// The whole number at the start of the text, after leading blanks; 0 when there is none.
long long LeadingNumber(const QString& text);

} // namespace settings
