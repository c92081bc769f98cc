#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace emulation::machine {
class Database;
}

namespace emulation::metabase {

// The machine's own key (the "machine_key" fact: 32 random bytes made when the database is
// created); empty when the database holds none.
QByteArray machineKey(machine::Database& db);

// Secure metabase values as MetaBase.xml holds them: encrypted and authenticated with the
// machine's key, written as hexadecimal digits, so that the file shows no password and only the
// machine that wrote a value can read it back. The cipher is a keystream of HMAC-SHA256 blocks
// over a nonce derived from the value, sealed by an HMAC-SHA256 tag over the nonce and the
// ciphertext, each with a key of its own derived from the machine's key. Equal values seal
// alike on one machine, so an unchanged metabase exports to the same file.
QString sealSecureValue(const QByteArray& key, const QString& plain);
// The plain value; nullopt when the value was not sealed with this key or was altered.
std::optional<QString> openSecureValue(const QByteArray& key, const QString& sealed);
// Whether a value has the form of a sealed one (it may still belong to another machine).
bool isSealedForm(const QString& value);

// A new random password for a built-in account: 16 characters with upper and lower case
// letters, digits and symbols, none of which a command line or MetaBase.xml treats specially.
QString randomPassword();

} // namespace emulation::metabase
