#include "settings/ReadIniValue.h"

namespace settings {

using namespace Qt::Literals::StringLiterals;

QString ReadIniValue(platform::ProfileStore& store, const QString& section, const QString& key,
                     const std::optional<QString>& defaultValue, const QString& file) {
    QString buffer;
    const int copied = store.GetPrivateProfileString(section, key, std::nullopt, buffer, 255, file);
    if (copied > 0)
        return buffer.left(buffer.indexOf(QChar(0)) < 0 ? buffer.size() : buffer.indexOf(QChar(0)));
    store.WritePrivateProfileString(section, key, defaultValue, file);
    return defaultValue.value_or(QString());
}

bool ReadsTrue(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(u"true"_s, Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(u"false"_s, Qt::CaseInsensitive) == 0)
        return false;
    bool isNumber = false;
    const double n = t.toDouble(&isNumber);
    return isNumber && n != 0.0;
}

long long LeadingNumber(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    long long n = 0;
    bool any = false;
    while (i < text.size() && text[i].isDigit() && text[i].unicode() < 128) {
        any = true;
        if (n < 1'000'000'000'000'000LL)
            n = n * 10 + (text[i].unicode() - u'0');
        ++i;
    }
    if (!any)
        return 0;
    return negative ? -n : n;
}

} // namespace settings
