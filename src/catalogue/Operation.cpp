#include "catalogue/Operation.h"

#include <QRegularExpression>

namespace catalogue {

using namespace Qt::Literals::StringLiterals;

namespace {

// The first line of what a command printed: Windows puts the error there.
QString firstLine(const QString& output) {
    for (const QString& line : output.split(QRegularExpression(u"[\r\n]+"_s), Qt::SkipEmptyParts))
        if (!line.trimmed().isEmpty())
            return line.trimmed();
    return {};
}

} // namespace

bool Operation::achieved(const QString& commandLine,
                         const platform::Outcome<platform::CommandResult>& result) {
    if (!result)
        return false;
    const auto& r = result.value();
    if (r.exitCode == 0)
        return true;
    const QString line = commandLine.simplified().toLower();
    // The folder is there: MkDir did its job.
    if (line.contains(u" mkdir "_s) || line.contains(u" md "_s))
        return r.output.contains(u"已经存在"_s) && !r.output.contains(u"拒绝访问"_s) &&
               !r.output.contains(u"语法不正确"_s);
    // The account is gone, as it was meant to be.
    if (line.contains(u"net user "_s) && line.endsWith(u" /delete"_s) &&
        r.output.contains(u"NET HELPMSG 2221"_s))
        return true;
    if (line.contains(u"net localgroup "_s)) {
        if (line.endsWith(u" /add"_s) && r.output.contains(u"系统错误 1378"_s))
            return true; // already a member
        if (line.endsWith(u" /delete"_s) && r.output.contains(u"系统错误 1377"_s))
            return true; // already not a member
    }
    return false;
}

void Operation::command(const QString& commandLine,
                        const platform::Outcome<platform::CommandResult>& result) {
    if (achieved(commandLine, result))
        return;
    const QString why = result ? firstLine(result.value().output) : result.error().text;
    m_failures << commandLine + u"："_s +
                      (why.isEmpty() ? u"退出代码 %1"_s.arg(result.value().exitCode) : why);
}

void Operation::step(const QString& what, const platform::Error& error) {
    m_failures << what + u"："_s + error.text + u" (0x"_s + QString::number(error.number, 16).toUpper() +
                      u')';
}

} // namespace catalogue
