#include "emulation/programs/Program.h"

namespace emulation::programs {

QStringList splitArguments(const QString& text) {
    QStringList args;
    QString current;
    bool inQuotes = false;
    bool haveArg = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\\') {
            qsizetype n = 0;
            while (i < text.size() && text[i] == u'\\') {
                ++n;
                ++i;
            }
            if (i < text.size() && text[i] == u'"') {
                current += QString(n / 2, u'\\');
                if (n % 2 == 1) {
                    current += u'"';
                } else {
                    inQuotes = !inQuotes;
                }
                haveArg = true;
            } else {
                current += QString(n, u'\\');
                --i;
                haveArg = true;
            }
            continue;
        }
        if (c == u'"') {
            if (inQuotes && i + 1 < text.size() && text[i + 1] == u'"') {
                current += u'"'; // "" inside quotes is one literal quote
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
            haveArg = true;
            continue;
        }
        if (!inQuotes && (c == u' ' || c == u'\t')) {
            if (haveArg) {
                args << current;
                current.clear();
                haveArg = false;
            }
            continue;
        }
        current += c;
        haveArg = true;
    }
    if (haveArg)
        args << current;
    return args;
}

} // namespace emulation::programs
