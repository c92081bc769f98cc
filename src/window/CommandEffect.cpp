#include "window/CommandEffect.h"

#include "platform/Accounts.h"
#include "platform/Files.h"

#include <algorithm>

namespace window {

using namespace Qt::Literals::StringLiterals;

namespace {

// Splits at blanks and tabs (and at the extra separators given) outside double quotes; the quotes
// themselves are dropped.
QStringList splitWords(const QString& text, const QString& separators = {}) {
    QStringList words;
    QString word;
    bool quoted = false;
    bool inWord = false;
    for (QChar c : text) {
        if (c == u'"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == u' ' || c == u'\t' || separators.contains(c))) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

// Whether cmd.exe would do more with the line than run one command on literal arguments.
bool needsInterpreter(const QString& text) {
    if (text.contains(u'%'))
        return true;
    bool quoted = false;
    for (QChar c : text) {
        if (c == u'"')
            quoted = !quoted;
        else if (!quoted && QStringView(u"&|<>()^").contains(c))
            return true;
    }
    return false;
}

bool isAbsolute(const QString& path) {
    return path.size() >= 3 && path[0].isLetter() && path[1] == u':' && path[2] == u'\\';
}

bool isSwitch(const QString& word, QStringView name) {
    return word.compare(name, Qt::CaseInsensitive) == 0;
}

CommandEffect netEffect(const QStringList& words) {
    if (words.size() < 3)
        return {};
    QStringList names;
    bool add = false;
    bool remove = false;
    for (const QString& w : words.mid(2)) {
        if (!w.startsWith(u'/'))
            names << w;
        else if (isSwitch(w, u"/add"))
            add = true;
        else if (isSwitch(w, u"/delete") || isSwitch(w, u"/del"))
            remove = true;
    }
    if (names.isEmpty() || add == remove)
        return {};
    using K = CommandEffect::Kind;
    if (isSwitch(words[1], u"user"))
        return {add ? K::NewAccount : K::AccountGone, {}, {names.first()}};
    if (!isSwitch(words[1], u"localgroup"))
        return {};
    const QString group = names.takeFirst();
    if (names.isEmpty())
        return add ? CommandEffect{K::GroupExists, group, {}} : CommandEffect{};
    return {add ? K::Members : K::NotMembers, group, names};
}

QString exitStatus(const platform::CommandResult& r) {
    QString why = u"退出代码 %1"_s.arg(r.exitCode);
    // What the command printed first, for the operator to read.
    for (const QString& line : r.output.split(u'\n'))
        if (!line.trimmed().isEmpty())
            return why + u"："_s + line.trimmed();
    return why;
}

QString cannotCheck(const platform::Error& e) {
    return u"无法检查结果：%1 (0x%2)"_s.arg(e.text, QString::number(e.number, 16).toUpper());
}

} // namespace

CommandEffect IntendedEffect(const QString& commandLine) {
    QString text = commandLine.trimmed();
    for (const QString& prefix : {u"cmd.exe /c "_s, u"cmd /c "_s})
        if (text.startsWith(prefix, Qt::CaseInsensitive)) {
            text = text.mid(prefix.size()).trimmed();
            break;
        }
    if (needsInterpreter(text))
        return {};
    const QString program = splitWords(text).value(0).toLower();
    if (program == u"mkdir"_s || program == u"md"_s) {
        // MkDir also separates its folders at commas, semicolons and equals signs.
        QStringList folders = splitWords(text, u",;="_s).mid(1);
        const bool allAbsolute =
            !folders.isEmpty() && std::all_of(folders.begin(), folders.end(), isAbsolute);
        if (!allAbsolute)
            return {};
        return {CommandEffect::Kind::Folders, {}, folders};
    }
    if (program == u"net"_s || program == u"net.exe"_s)
        return netEffect(splitWords(text));
    return {};
}

std::optional<QString> MissingEffect(const CommandEffect& effect,
                                     const platform::Outcome<platform::CommandResult>& result,
                                     platform::Files& files, platform::Accounts& accounts) {
    if (!result) {
        const platform::Error& e = result.error();
        return (e.text.isEmpty() ? u"命令未能启动"_s : e.text) + u" (0x"_s +
               QString::number(e.number, 16).toUpper() + u')';
    }
    const platform::CommandResult& r = result.value();
    using K = CommandEffect::Kind;
    switch (effect.kind) {
    case K::ExitStatus:
        break;
    case K::Folders:
        for (const QString& folder : effect.names)
            if (!files.IsFolder(folder))
                return files.FileExists(folder) ? u"%1 是文件，不是文件夹"_s.arg(folder)
                                                : u"文件夹 %1 不存在"_s.arg(folder);
        return std::nullopt;
    case K::NewAccount:
    case K::AccountGone:
    case K::GroupExists: {
        const QString& name = effect.kind == K::GroupExists ? effect.group : effect.names.first();
        const auto exists = accounts.Exists(name);
        if (!exists)
            return cannotCheck(exists.error());
        if (effect.kind == K::AccountGone)
            return exists.value() ? std::optional(u"帐户 %1 仍然存在"_s.arg(name)) : std::nullopt;
        if (!exists.value())
            return effect.kind == K::GroupExists ? u"组 %1 不存在"_s.arg(name)
                                                 : u"帐户 %1 不存在"_s.arg(name);
        if (effect.kind == K::GroupExists)
            return std::nullopt;
        // The account is there, but another command may have made it, with another password.
        break;
    }
    case K::Members:
    case K::NotMembers:
        for (const QString& name : effect.names) {
            const auto member = accounts.IsMember(effect.group, name);
            if (!member)
                return cannotCheck(member.error());
            if (member.value() && effect.kind == K::NotMembers)
                return u"%1 仍是组 %2 的成员"_s.arg(name, effect.group);
            if (!member.value() && effect.kind == K::Members)
                return u"%1 不是组 %2 的成员"_s.arg(name, effect.group);
        }
        return std::nullopt;
    }
    if (r.exitCode == 0)
        return std::nullopt;
    return exitStatus(r);
}

} // namespace window
