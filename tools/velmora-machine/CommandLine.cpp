// Parsing velmora-machine's command line from the table of subcommands, and its help texts.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/machine/Machine.h"

#include <QSet>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

namespace {

const QString Program = u"velmora-machine"_s;

QString optionSyntax(const QCommandLineOption& option) {
    QStringList names;
    for (const QString& n : option.names())
        names << (n.size() == 1 ? u"-"_s : u"--"_s) + n;
    QString text = names.join(u", "_s);
    if (!option.valueName().isEmpty())
        text += u" <"_s + option.valueName() + u'>';
    return text;
}

// Columns on a terminal: Chinese characters take two.
qsizetype displayWidth(const QString& text) {
    qsizetype width = 0;
    for (QChar c : text)
        width += c.unicode() >= 0x2E80 ? 2 : 1;
    return width;
}

// Two columns: the names, then their description.
QString table(const QList<std::pair<QString, QString>>& rows) {
    qsizetype width = 0;
    for (const auto& [left, right] : rows)
        width = std::max(width, displayWidth(left));
    QString out;
    for (const auto& [left, right] : rows)
        out += u"  "_s + left + QString(width + 2 - displayWidth(left), u' ') + right + u'\n';
    return out;
}

QString optionRows(const QList<QCommandLineOption>& options) {
    QList<std::pair<QString, QString>> rows;
    for (const QCommandLineOption& o : options)
        rows.append({optionSyntax(o), o.description()});
    return table(rows);
}

// The options that take a value, by every name they have.
QSet<QString> valueOptions() {
    QSet<QString> names;
    auto add = [&](const QList<QCommandLineOption>& options) {
        for (const QCommandLineOption& o : options)
            if (!o.valueName().isEmpty())
                for (const QString& n : o.names())
                    names.insert((n.size() == 1 ? u"-"_s : u"--"_s) + n);
    };
    add(commonOptions());
    for (const Subcommand& s : subcommands())
        add(s.options);
    return names;
}

// The first argument that is neither an option nor an option's value: the subcommand's name.
qsizetype subcommandIndex(const QStringList& arguments) {
    const QSet<QString> withValue = valueOptions();
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == u"--"_s)
            return i + 1 < arguments.size() ? i + 1 : -1;
        if (a.startsWith(u'-') && a.size() > 1) {
            if (withValue.contains(a))
                ++i; // the option's value follows
            continue;
        }
        return i;
    }
    return -1;
}

QString parseError(const QCommandLineParser& parser, const QStringList& arguments) {
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        const QString& n = unknown.first();
        return u"未知的选项：%1"_s.arg((n.size() == 1 ? u"-"_s : u"--"_s) + n);
    }
    const QSet<QString> withValue = valueOptions();
    if (!arguments.isEmpty() && withValue.contains(arguments.last()))
        return u"选项 %1 缺少值"_s.arg(arguments.last());
    return u"命令行有错误：%1"_s.arg(parser.errorText());
}

int generalUsageError(const QString& message) {
    print(stderr, message + u"\n使用“velmora-machine --help”查看全部子命令和选项。\n"_s);
    return ExitUsage;
}

} // namespace

void print(FILE* to, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

QList<QCommandLineOption> commonOptions() {
    return {
        QCommandLineOption(u"machine"_s,
                           u"模拟服务器所在的文件夹（默认为环境变量 VELMORA_MACHINE，或 %1）"_s.arg(
                               emulation::machine::Machine::defaultFolder()),
                           u"文件夹"_s),
        QCommandLineOption({u"h"_s, u"help"_s}, u"显示帮助"_s),
        QCommandLineOption({u"v"_s, u"version"_s}, u"显示版本"_s),
    };
}

const Subcommand* findSubcommand(const QString& name) {
    for (const Subcommand& s : subcommands())
        if (s.name == name)
            return &s;
    return nullptr;
}

QString usageLine(const Subcommand& subcommand) {
    QString line = u"用法："_s + Program + u' ' + subcommand.name;
    if (!subcommand.syntax.isEmpty())
        line += u' ' + subcommand.syntax;
    for (const QCommandLineOption& o : subcommand.options)
        line += u" ["_s + optionSyntax(o) + u']';
    return line + u" [--machine <文件夹>]"_s;
}

QString overviewText() {
    QString out = Program + u"：安装、查看和操作模拟的 Windows Server 2003 + IIS 6 服务器。\n\n"_s;
    out += u"用法："_s + Program + u" 子命令 [参数] [选项]\n\n子命令：\n"_s;
    QList<std::pair<QString, QString>> rows;
    for (const Subcommand& s : subcommands())
        rows.append({s.name, s.summary});
    out += table(rows);
    out += u"\n通用选项：\n"_s + optionRows(commonOptions());
    out += u"\n使用“"_s + Program + u" help 子命令”查看一个子命令的参数和选项。\n"_s;
    return out;
}

QString helpText(const Subcommand& subcommand) {
    QString out = usageLine(subcommand) + u"\n\n"_s + subcommand.summary + u"。\n"_s;
    if (!subcommand.description.isEmpty())
        out += subcommand.description + u'\n';
    if (!subcommand.options.isEmpty())
        out += u"\n选项：\n"_s + optionRows(subcommand.options);
    out += u"\n通用选项：\n"_s + optionRows(commonOptions());
    return out;
}

Invocation::Invocation(const Subcommand& subcommand, const QCommandLineParser& parser, QStringList arguments)
    : m_subcommand(subcommand), m_parser(parser), m_arguments(std::move(arguments)) {}

QString Invocation::machineFolder() const {
    const QString folder = m_parser.value(u"machine"_s);
    return folder.isEmpty() ? emulation::machine::Machine::defaultFolder() : folder;
}

platform::Outcome<std::unique_ptr<emulation::machine::Machine>> Invocation::openMachine() const {
    return emulation::machine::Machine::open(machineFolder());
}

int Invocation::fail(const QString& message) const {
    print(stderr, message + u'\n');
    return ExitFailed;
}

int Invocation::usageError(const QString& message) const {
    print(stderr, message + u'\n' + usageLine(m_subcommand) + u"\n使用“"_s + Program + u" help "_s +
                      m_subcommand.name + u"”查看说明。\n"_s);
    return ExitUsage;
}

int runCommandLine(const QStringList& arguments) {
    const qsizetype at = subcommandIndex(arguments);
    const Subcommand* subcommand = at < 0 ? nullptr : findSubcommand(arguments[at]);
    if (at >= 0 && !subcommand)
        return generalUsageError(u"未知的子命令：%1"_s.arg(arguments[at]));

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(commonOptions());
    if (subcommand)
        parser.addOptions(subcommand->options);
    if (!parser.parse(QStringList{Program} + arguments))
        return subcommand ? Invocation(*subcommand, parser, {}).usageError(parseError(parser, arguments))
                          : generalUsageError(parseError(parser, arguments));
    if (parser.isSet(u"version"_s)) {
        print(stdout, Program + u' ' + QStringLiteral(VELMORA_VERSION) + u'\n');
        return ExitOk;
    }
    if (parser.isSet(u"help"_s)) {
        print(stdout, subcommand && subcommand->name != u"help"_s ? helpText(*subcommand) : overviewText());
        return ExitOk;
    }
    if (!subcommand) {
        print(stderr, overviewText());
        return ExitUsage;
    }
    QStringList rest = parser.positionalArguments();
    rest.removeFirst(); // the subcommand's name
    Invocation invocation(*subcommand, parser, rest);
    if (rest.size() < subcommand->minArguments)
        return invocation.usageError(u"%1 缺少参数"_s.arg(subcommand->name));
    if (rest.size() > subcommand->maxArguments)
        return invocation.usageError(u"%1 的参数过多：%2"_s.arg(subcommand->name, rest.last()));
    return subcommand->run(invocation);
}

int runHelp(const Invocation& invocation) {
    if (invocation.arguments().isEmpty()) {
        print(stdout, overviewText());
        return ExitOk;
    }
    const Subcommand* about = findSubcommand(invocation.arguments().first());
    if (!about)
        return invocation.usageError(u"未知的子命令：%1"_s.arg(invocation.arguments().first()));
    print(stdout, helpText(*about));
    return ExitOk;
}

} // namespace velmora_machine
