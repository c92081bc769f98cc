#include "emulation/metabase/SecureValue.h"

#include "emulation/machine/Database.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

namespace emulation::metabase {

using machine::Database;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr char Version = 1;
constexpr qsizetype NonceSize = 16;
constexpr qsizetype TagSize = 32;

QByteArray hmac(const QByteArray& key, const QByteArray& message) {
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

// XORs data with the keystream of a nonce: the same call encrypts and decrypts.
QByteArray applyKeystream(const QByteArray& key, const QByteArray& nonce, const QByteArray& data) {
    const QByteArray streamKey = hmac(key, "velmora metabase secure value: encryption");
    QByteArray out = data;
    QByteArray block;
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (i % TagSize == 0) {
            const auto counter = static_cast<quint32>(i / TagSize);
            QByteArray message = nonce;
            for (int shift = 24; shift >= 0; shift -= 8)
                message += static_cast<char>((counter >> shift) & 0xFF);
            block = hmac(streamKey, message);
        }
        out[i] = static_cast<char>(out[i] ^ block[i % TagSize]);
    }
    return out;
}

QByteArray tagOf(const QByteArray& key, const QByteArray& versionNonceCipher) {
    return hmac(hmac(key, "velmora metabase secure value: authentication"), versionNonceCipher);
}

} // namespace

QByteArray machineKey(Database& db) {
    auto st = db.prepare("SELECT value FROM facts WHERE name = 'machine_key'");
    return st.step() ? QByteArray::fromHex(st.text(0).toLatin1()) : QByteArray();
}

QString sealSecureValue(const QByteArray& key, const QString& plain) {
    // The nonce comes from the value itself (a synthetic one), so that exporting an unchanged
    // metabase twice gives the same file.
    const QByteArray nonce =
        hmac(hmac(key, "velmora metabase secure value: nonce"), plain.toUtf8()).left(NonceSize);
    QByteArray sealed = QByteArray(1, Version) + nonce;
    sealed += applyKeystream(key, sealed.mid(1), plain.toUtf8());
    sealed += tagOf(key, sealed);
    return QString::fromLatin1(sealed.toHex().toUpper());
}

bool isSealedForm(const QString& value) {
    if (value.size() % 2 != 0 || value.size() < 2 * (1 + NonceSize + TagSize) || !value.startsWith(u"01"_s))
        return false;
    for (QChar c : value)
        if (!c.isDigit() && !(c >= u'A' && c <= u'F') && !(c >= u'a' && c <= u'f'))
            return false;
    return true;
}

std::optional<QString> openSecureValue(const QByteArray& key, const QString& sealed) {
    if (key.isEmpty() || !isSealedForm(sealed))
        return std::nullopt;
    const QByteArray bytes = QByteArray::fromHex(sealed.toLatin1());
    const QByteArray body = bytes.left(bytes.size() - TagSize);
    // Compared in full, whatever the first difference.
    const QByteArray expected = tagOf(key, body);
    const QByteArray given = bytes.right(TagSize);
    int difference = 0;
    for (qsizetype i = 0; i < TagSize; ++i)
        difference |= expected[i] ^ given[i];
    if (difference != 0)
        return std::nullopt;
    const QByteArray plain = applyKeystream(key, body.mid(1, NonceSize), body.mid(1 + NonceSize));
    return QString::fromUtf8(plain);
}

QString randomPassword() {
    static const QString classes[] = {u"ABCDEFGHJKLMNPQRSTUVWXYZ"_s, u"abcdefghijkmnopqrstuvwxyz"_s,
                                      u"23456789"_s, u"!#$+-.=?@_"_s};
    auto* random = QRandomGenerator::system();
    QString password;
    for (const QString& c : classes) // one of each class at least
        password += c[random->bounded(static_cast<int>(c.size()))];
    const QString all = classes[0] + classes[1] + classes[2] + classes[3];
    while (password.size() < 16)
        password += all[random->bounded(static_cast<int>(all.size()))];
    for (qsizetype i = password.size() - 1; i > 0; --i) // the classes' places are random too
        std::swap(password[i], password[random->bounded(static_cast<int>(i + 1))]);
    return password;
}

} // namespace emulation::metabase
