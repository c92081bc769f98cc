// The machine's journal.log: every command line run, before it runs and with its outcome after.

#include "emulation/cmd/Interpreter.h"

#include "emulation/files/HostFile.h"
#include "emulation/machine/Machine.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <sys/stat.h>

namespace emulation::cmd {

using namespace Qt::Literals::StringLiterals;
using platform::CommandResult;
using platform::Outcome;

bool Interpreter::journalStart(const QString& commandLine) const {
    return writeJournal(QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss.zzz"_s) + u'\t' +
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

bool Interpreter::writeJournal(const QString& entry) const {
    // The journal holds what the operator did: readable by the machine's owner only. An entry is
    // appended whole or not at all.
    const QString problem =
        files::appendToFile(m_machine.folder() + u"/journal.log"_s, entry.toUtf8(), S_IRUSR | S_IWUSR);
    return problem.isEmpty();
}

namespace {

// One word of a command line as cmd.exe and the C runtime take it: its text with quotes and ^
// escapes removed, and where it stands in the line.
struct Word {
    QString text;
    qsizetype start = 0;
    qsizetype end = 0;
    bool redirectTarget = false;
};

bool isSeparator(QChar c) {
    return c == u'&' || c == u'|' || c == u'(' || c == u')';
}

// The name a word runs as: its last path name without ".exe", in lower case.
QString programName(const QString& word) {
    QString name = word.section(u'\\', -1).section(u'/', -1).toLower();
    if (name.endsWith(u".exe"_s))
        name.chop(4);
    return name;
}

// The password of "net user NAME PASSWORD" among one command's words: the second word after
// "user" that is no switch ("*" asks for one and is no password).
void maskNetUser(const QList<Word>& words, QList<std::pair<qsizetype, qsizetype>>& spans) {
    for (qsizetype k = 0; k + 1 < words.size(); ++k) {
        const QString name = programName(words[k].text);
        if (name != u"net"_s && name != u"net1"_s)
            continue;
        const QString verb = words[k + 1].text.toLower();
        if (verb != u"user"_s && verb != u"users"_s)
            continue;
        int plain = 0;
        for (qsizetype a = k + 2; a < words.size(); ++a) {
            if (words[a].text.startsWith(u'/'))
                continue;
            if (++plain == 2) {
                if (words[a].text != u"*"_s)
                    spans.append({words[a].start, words[a].end});
                break;
            }
        }
        return;
    }
}

// Collects the spans of the passwords in line[from, to): the second word after "net user" that is
// no switch, in every command of the line and in the command string of every cmd.exe /c.
void findPasswords(const QString& line, qsizetype from, qsizetype to,
                   QList<std::pair<qsizetype, qsizetype>>& spans) {
    qsizetype i = from;
    while (i < to) {
        // One command: its words up to a separator outside quotes.
        QList<Word> words;
        bool nextIsTarget = false;
        bool cmdSeen = false;
        while (i < to) {
            while (i < to && line[i].isSpace())
                ++i;
            if (i >= to)
                break;
            if (isSeparator(line[i])) {
                ++i;
                break;
            }
            if (line[i] == u'>' || line[i] == u'<') {
                while (i < to && (line[i] == u'>' || line[i] == u'<' || line[i] == u'&'))
                    ++i;
                nextIsTarget = true;
                continue;
            }
            Word w;
            w.start = i;
            w.redirectTarget = nextIsTarget;
            nextIsTarget = false;
            bool quoted = false;
            while (i < to) {
                const QChar c = line[i];
                if (c == u'"') {
                    quoted = !quoted;
                    ++i;
                } else if (!quoted && c == u'^' && i + 1 < to && line[i + 1].isSpace()) {
                    ++i; // an escaped blank still ends the program's name
                    break;
                } else if (!quoted && c == u'^' && i + 1 < to) {
                    w.text += line[i + 1];
                    i += 2;
                } else if (!quoted && (c.isSpace() || isSeparator(c) || c == u'>' || c == u'<')) {
                    break;
                } else {
                    w.text += c;
                    ++i;
                }
            }
            w.end = i;
            if (w.redirectTarget)
                continue;
            if (cmdSeen && (w.text.compare(u"/c"_s, Qt::CaseInsensitive) == 0 ||
                            w.text.compare(u"/k"_s, Qt::CaseInsensitive) == 0)) {
                // The command string after /c is a command line of its own, to the line's end.
                qsizetype begin = w.end;
                qsizetype end = to;
                while (begin < end && line[begin].isSpace())
                    ++begin;
                // With a quote first, cmd.exe takes off the first quote and the last.
                if (begin < end && line[begin] == u'"') {
                    const qsizetype lastQuote = line.lastIndexOf(u'"', end - 1);
                    if (lastQuote > begin)
                        end = lastQuote;
                    ++begin;
                }
                maskNetUser(words, spans);
                findPasswords(line, begin, end, spans);
                return;
            }
            cmdSeen = cmdSeen || programName(w.text) == u"cmd"_s;
            words << w;
        }
        maskNetUser(words, spans);
    }
}

} // namespace

QString Interpreter::maskPasswords(const QString& line) {
    QList<std::pair<qsizetype, qsizetype>> spans;
    findPasswords(line, 0, line.size(), spans);
    std::sort(spans.begin(), spans.end());
    QString out = line;
    qsizetype last = -1;
    for (auto it = spans.rbegin(); it != spans.rend(); ++it) {
        if (last >= 0 && it->second > last)
            continue; // overlaps one already masked
        out.replace(it->first, it->second - it->first, u"********"_s);
        last = it->first;
    }
    return out;
}

} // namespace emulation::cmd
