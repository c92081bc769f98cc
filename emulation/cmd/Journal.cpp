// The machine's journal.log: every command line run, before it runs and with its outcome after.

#include "emulation/cmd/Interpreter.h"

#include "emulation/machine/Machine.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

namespace emulation::cmd {

using namespace Qt::Literals::StringLiterals;
using platform::CommandResult;
using platform::Outcome;

void Interpreter::journalStart(const QString& commandLine) const {
    writeJournal(QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss.zzz"_s) + u'\t' +
                 maskPasswords(commandLine) + u"\tstarted\n"_s);
}

void Interpreter::journal(const QString& commandLine, const Outcome<CommandResult>& result) const {
    QString entry = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss.zzz"_s) + u'\t' +
                    maskPasswords(commandLine) + u'\t';
    if (result) {
        entry += u"exit "_s + QString::number(result.value().exitCode) + u'\n';
        for (const QString& line : result.value().output.split(u"\r\n"_s, Qt::SkipEmptyParts))
            entry += u"\t| "_s + line + u'\n';
    } else {
        entry += u"not started: "_s + result.error().text + u'\n';
    }
    writeJournal(entry);
}

void Interpreter::writeJournal(const QString& entry) const {
    // The journal holds what the operator did: readable by the machine's owner only.
    QFile f(m_machine.folder() + u"/journal.log"_s);
    if (!f.open(QIODevice::Append))
        return;
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    f.write(entry.toUtf8());
}

QString Interpreter::maskPasswords(const QString& line) {
    // net user NAME PASSWORD ...: the second word after "user" that is no switch is the password.
    static const QRegularExpression netUser(u"(^|[\\s\"&|(\\\\])net1?(\\.exe)?\"?\\s+users?(?=\\s)"_s,
                                            QRegularExpression::CaseInsensitiveOption);
    QString out = line;
    qsizetype from = 0;
    for (;;) {
        const auto match = netUser.match(out, from);
        if (!match.hasMatch())
            return out;
        qsizetype i = match.capturedEnd();
        from = i;
        int words = 0;
        while (i < out.size()) {
            while (i < out.size() && out[i].isSpace())
                ++i;
            if (i >= out.size() || out[i] == u'&' || out[i] == u'|' || out[i] == u'<' || out[i] == u'>')
                break;
            const qsizetype start = i;
            bool quoted = false;
            while (i < out.size() && (quoted || !out[i].isSpace())) {
                if (out[i] == u'"')
                    quoted = !quoted;
                else if (!quoted && (out[i] == u'&' || out[i] == u'|' || out[i] == u'<' || out[i] == u'>'))
                    break;
                ++i;
            }
            const QString word = out.mid(start, i - start);
            if (word.startsWith(u'/'))
                continue;
            if (++words == 2) {
                if (word != u"*"_s) {
                    out.replace(start, i - start, u"********"_s);
                    from = start + 8;
                }
                break;
            }
        }
    }
}

} // namespace emulation::cmd
