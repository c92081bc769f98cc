// cmd.exe conformance: how a "cmd.exe /c" line is parsed and run.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/programs/Program.h"
#include "platform/AnsiCodePage.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using testing_support::run;

namespace {

class InterpreterTest : public ::testing::Test {
protected:
    testing_support::TempMachine m;
    platform::CommandResult cmd(const QString& line) { return run(m.machine(), line); }
    bool folder(const QString& path) { return m->files().isFolder(emulation::files::WinPath::parse(path)); }
};

TEST_F(InterpreterTest, AmpersandInsideQuotesIsLiteralOutsideStartsASecondCommand) {
    // An account name smuggling a second command: outside quotes it runs, inside it is text.
    auto outside = cmd(u"cmd.exe /c net user a&md D:\\pwned /add"_s);
    EXPECT_TRUE(folder(u"D:\\pwned"_s)) << "the & outside quotes started MkDir";
    EXPECT_FALSE(m->accounts().lookup(u"a"_s).has_value()) << "net user a alone only looked the name up";
    EXPECT_TRUE(outside.output.startsWith(u"找不到用户名。"_s)) << outside.output.toStdString();
    EXPECT_NE(outside.exitCode, 0);

    cmd(u"cmd.exe /c net user a pw /add"_s);
    auto inside = cmd(u"cmd.exe /c icacls \"D:\\x&md D:\\again\" /grant a:F"_s);
    EXPECT_FALSE(folder(u"D:\\again"_s)) << "the & inside quotes is part of the path";
    EXPECT_TRUE(inside.output.contains(u"D:\\x&md D:\\again: 系统找不到指定的文件。"_s))
        << inside.output.toStdString();
}

TEST_F(InterpreterTest, ConditionalSeparatorsFollowTheExitStatus) {
    cmd(u"cmd.exe /c md D:\\a && md D:\\b || md D:\\c"_s);
    EXPECT_TRUE(folder(u"D:\\a"_s));
    EXPECT_TRUE(folder(u"D:\\b"_s));
    EXPECT_FALSE(folder(u"D:\\c"_s));
    cmd(u"cmd.exe /c md D:\\a && md D:\\d || md D:\\e"_s); // the first fails: D:\a exists
    EXPECT_FALSE(folder(u"D:\\d"_s));
    EXPECT_TRUE(folder(u"D:\\e"_s));
}

TEST_F(InterpreterTest, CaretEscapesAndPercentVariablesExpandFirstEvenInsideQuotes) {
    auto escaped = cmd(u"cmd.exe /c echo a^&b"_s);
    EXPECT_EQ(escaped.output, u"a&b\r\n"_s);
    auto quoted = cmd(u"cmd.exe /c echo \"%SystemRoot%\" %windir%"_s);
    EXPECT_EQ(quoted.output, u"\"C:\\WINDOWS\" C:\\WINDOWS\r\n"_s);
    auto unknown = cmd(u"cmd.exe /c echo %NO_SUCH_VAR% 100%"_s);
    EXPECT_EQ(unknown.output, u"%NO_SUCH_VAR% 100%\r\n"_s) << "unknown names stay as written";
    // A variable can carry an operator into the line: expansion comes before the split.
    EXPECT_EQ(emulation::cmd::Interpreter::expand(u"%COMSPEC%"_s, m->interpreter().environment()),
              u"C:\\WINDOWS\\system32\\cmd.exe"_s);
}

TEST_F(InterpreterTest, UnknownProgramsAndProgramsWithoutTheirFile) {
    auto unknown = cmd(u"cmd.exe /c frobnicate now"_s);
    EXPECT_EQ(unknown.exitCode, 9009);
    EXPECT_EQ(unknown.output, u"'frobnicate' 不是内部或外部命令，也不是可运行的程序\r\n或批处理文件。\r\n"_s);

    // A program runs only while its file is on the machine.
    ASSERT_TRUE(QFile::remove(m->hostPath(u"C:\\WINDOWS\\system32\\icacls.exe"_s)));
    auto gone = cmd(u"cmd.exe /c icacls D:\\"_s);
    EXPECT_EQ(gone.exitCode, 9009);
    ASSERT_TRUE(QFile::remove(m->hostPath(u"C:\\WINDOWS\\system32\\cmd.exe"_s)));
    EXPECT_FALSE(m->interpreter().RunHidden(u"cmd.exe /c echo hi"_s).ok()) << "no interpreter to start";
}

TEST_F(InterpreterTest, ProgramsAreFoundByPathOrOnThePath) {
    EXPECT_EQ(cmd(u"cmd.exe /c C:\\WINDOWS\\system32\\net.exe user Administrator"_s).exitCode, 0);
    EXPECT_EQ(cmd(u"cmd.exe /c NET.EXE user Administrator"_s).exitCode, 0);
    EXPECT_EQ(cmd(u"cmd.exe /c iisreset.exe"_s).exitCode, 0);
    EXPECT_EQ(cmd(u"C:\\WINDOWS\\system32\\cmd.exe /c net user Administrator"_s).exitCode, 0);
    // cmd.exe can start cmd.exe; a file that is no program cannot be started.
    EXPECT_EQ(cmd(u"cmd.exe /c cmd.exe /c echo inner"_s).output, u"inner\r\n"_s);
    const auto notAProgram = cmd(u"cmd.exe /c C:\\Inetpub\\wwwroot\\iisstart.htm"_s);
    EXPECT_EQ(notAProgram.exitCode, 193);
}

TEST_F(InterpreterTest, UnbalancedQuotesAndOddInputNeverCrash) {
    for (const auto* line : {u"cmd.exe /c icacls \"D:\\x /grant a:F", u"cmd.exe /c \"", u"cmd.exe /c ^",
                             u"cmd.exe /c &&", u"cmd.exe /c net user \"a", u"cmd.exe /c %", u"cmd.exe /c",
                             u"cmd.exe /c md \"\"", u"cmd.exe /c copy", u"cmd.exe /c > nul"}) {
        auto r = m->interpreter().RunHidden(QString::fromUtf16(line));
        EXPECT_TRUE(r.ok()) << QString::fromUtf16(line).toStdString();
    }
    EXPECT_NE(cmd(u"cmd.exe /c &&"_s).exitCode, 0);
}

TEST_F(InterpreterTest, OutputRedirectionWritesAFileOfTheMachine) {
    EXPECT_EQ(cmd(u"cmd.exe /c echo hello > D:\\out.txt"_s).output, QString());
    EXPECT_EQ(m.readFile(u"D:\\out.txt"_s), QByteArray("hello \r\n"));
    EXPECT_EQ(cmd(u"cmd.exe /c net user nobody >nul 2>&1"_s).output, QString());
}

TEST_F(InterpreterTest, MkDirMakesParentsAndFailsWhenTheFolderExists) {
    auto made = cmd(u"cmd.exe /c MkDir D:\\WebRoot\\shop\\web"_s);
    EXPECT_EQ(made.exitCode, 0);
    EXPECT_TRUE(folder(u"D:\\WebRoot\\shop\\web"_s));
    auto again = cmd(u"cmd.exe /c md d:\\webroot\\SHOP\\web"_s);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.output, u"子目录或文件 d:\\webroot\\SHOP\\web 已经存在。\r\n"_s);
    // An unquoted blank splits the path into two folders.
    cmd(u"cmd.exe /c MkDir D:\\My Sites\\web"_s);
    EXPECT_TRUE(folder(u"D:\\My"_s));
    EXPECT_TRUE(folder(u"C:\\WINDOWS\\system32\\Sites\\web"_s));
    EXPECT_EQ(cmd(u"cmd.exe /c md Q:\\nowhere"_s).exitCode, 1);
    EXPECT_EQ(cmd(u"cmd.exe /c md \"D:\\bad<name\""_s).output, u"文件名、目录名或卷标语法不正确。\r\n"_s);
    // Outside quotes the < reads input from a file.
    EXPECT_FALSE(folder(u"D:\\bad"_s) && folder(u"D:\\bad<name"_s));
}

TEST_F(InterpreterTest, RdRemovesAnEmptyFolderOrWithSAndQAWholeTree) {
    ASSERT_EQ(cmd(u"cmd.exe /c md D:\\WebRoot\\a\\web"_s).exitCode, 0);
    m.writeFile(u"D:\\WebRoot\\a\\web\\index.html"_s, "x");
    const auto notEmpty = cmd(u"cmd.exe /c rd D:\\WebRoot\\a"_s);
    EXPECT_EQ(notEmpty.exitCode, 1);
    EXPECT_EQ(notEmpty.output, u"目录不是空的。\r\n"_s);
    // /s without /q asks first; a hidden window answers nothing.
    EXPECT_EQ(cmd(u"cmd.exe /c rd /s D:\\WebRoot\\a"_s).exitCode, 1);
    EXPECT_TRUE(folder(u"D:\\WebRoot\\a\\web"_s));
    EXPECT_EQ(cmd(u"cmd.exe /c rmdir /S /Q d:\\webroot\\A"_s).exitCode, 0);
    EXPECT_FALSE(folder(u"D:\\WebRoot\\a"_s));
    EXPECT_TRUE(folder(u"D:\\WebRoot"_s));
    EXPECT_EQ(cmd(u"cmd.exe /c rd D:\\WebRoot\\a"_s).output, u"系统找不到指定的文件。\r\n"_s);
    m.writeFile(u"D:\\file.txt"_s, "x");
    EXPECT_EQ(cmd(u"cmd.exe /c rd D:\\file.txt"_s).output, u"目录名称无效。\r\n"_s);
    EXPECT_EQ(cmd(u"cmd.exe /c rd /s /q D:\\"_s).exitCode, 1) << "never a drive root";
    EXPECT_TRUE(QFileInfo::exists(m->hostPath(u"D:\\file.txt"_s)));
}

TEST_F(InterpreterTest, CopyPutsTheFileIntoAFolderGivenWithATrailingBackslash) {
    m.writeFile(u"C:\\WINDOWS\\system32\\drivers\\index.html"_s, "<html>ok</html>");
    cmd(u"cmd.exe /c MkDir D:\\WebRoot\\shop\\web"_s);
    auto copied =
        cmd(u"cmd.exe /c copy %systemroot%\\system32\\drivers\\index.html D:\\WebRoot\\shop\\web\\"_s);
    EXPECT_EQ(copied.exitCode, 0);
    EXPECT_EQ(copied.output, u"已复制         1 个文件。\r\n"_s);
    EXPECT_EQ(m.readFile(u"D:\\WebRoot\\shop\\web\\index.html"_s), QByteArray("<html>ok</html>"));
    auto missingFolder =
        cmd(u"cmd.exe /c copy %systemroot%\\system32\\drivers\\index.html D:\\WebRoot\\none\\web\\"_s);
    EXPECT_EQ(missingFolder.exitCode, 1);
    EXPECT_TRUE(missingFolder.output.startsWith(u"系统找不到指定的路径。"_s));
    auto missingFile = cmd(u"cmd.exe /c copy C:\\nothing.html D:\\WebRoot\\shop\\web\\"_s);
    EXPECT_EQ(missingFile.exitCode, 1);
    // An existing file is not overwritten without an answer.
    m.writeFile(u"C:\\WINDOWS\\system32\\drivers\\index.html"_s, "changed");
    cmd(u"cmd.exe /c copy %systemroot%\\system32\\drivers\\index.html D:\\WebRoot\\shop\\web\\"_s);
    EXPECT_EQ(m.readFile(u"D:\\WebRoot\\shop\\web\\index.html"_s), QByteArray("<html>ok</html>"));
    // The overwrite question reads standard input: a pipe can answer it.
    auto answered = cmd(
        u"cmd.exe /c echo y| copy %systemroot%\\system32\\drivers\\index.html D:\\WebRoot\\shop\\web\\"_s);
    EXPECT_TRUE(answered.output.endsWith(u"已复制         1 个文件。\r\n"_s))
        << answered.output.toStdString();
    EXPECT_EQ(m.readFile(u"D:\\WebRoot\\shop\\web\\index.html"_s), QByteArray("changed"));
}

TEST_F(InterpreterTest, EveryRunIsJournaled) {
    cmd(u"cmd.exe /c net user ghost"_s);
    QFile journal(m.folder() + u"/journal.log"_s);
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(journal.readAll());
    EXPECT_TRUE(text.contains(u"\tcmd.exe /c net user ghost\texit 2\n"_s)) << text.toStdString();
    EXPECT_TRUE(text.contains(u"\t| 找不到用户名。"_s));
}

TEST_F(InterpreterTest, ExitEndsTheInterpreterThatRunsIt) {
    auto r = cmd(u"cmd.exe /c exit 3 & md D:\\after"_s);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_FALSE(folder(u"D:\\after"_s));
    // An inner cmd.exe ends; the outer one goes on.
    EXPECT_EQ(cmd(u"cmd.exe /c cmd /c exit 4 & md D:\\outer"_s).exitCode, 0);
    EXPECT_TRUE(folder(u"D:\\outer"_s));
}

TEST_F(InterpreterTest, ALineLongerThan8191CharactersIsRefused) {
    const auto longest = cmd(u"cmd.exe /c echo "_s + QString(8191 - 5, u'x'));
    EXPECT_EQ(longest.exitCode, 0);
    EXPECT_EQ(longest.output.size(), 8186 + 2);
    const auto tooLong = cmd(u"cmd.exe /c echo "_s + QString(8191 - 4, u'x'));
    EXPECT_EQ(tooLong.exitCode, 1);
    EXPECT_EQ(tooLong.output, u"输入行太长。\r\n"_s);
    // The limit holds after %VAR% expansion too.
    const auto expanded = cmd(u"cmd.exe /c echo "_s + u"%PATH%"_s.repeated(1000));
    EXPECT_EQ(expanded.output, u"输入行太长。\r\n"_s);
    // 7,000 nested interpreters: the line is too long before any of them starts.
    const auto nested = cmd(u"cmd.exe /c "_s + u"cmd /c "_s.repeated(7000) + u"md D:\\deep"_s);
    EXPECT_EQ(nested.exitCode, 1);
    EXPECT_EQ(nested.output, u"输入行太长。\r\n"_s);
    EXPECT_FALSE(folder(u"D:\\deep"_s));
}

TEST_F(InterpreterTest, NestedInterpretersAreBounded) {
    EXPECT_EQ(cmd(u"cmd.exe /c "_s + u"cmd /c "_s.repeated(20) + u"echo inner"_s).output, u"inner\r\n"_s);
    // A thousand levels fit into one line; the machine refuses the deep ones instead of crashing.
    const auto deep = cmd(u"cmd.exe /c "_s + u"cmd/c "_s.repeated(1300) + u"md D:\\deep"_s);
    EXPECT_NE(deep.exitCode, 0);
    EXPECT_EQ(deep.output, u"存储空间不足，无法处理此命令。\r\n"_s);
    EXPECT_FALSE(folder(u"D:\\deep"_s));
}

TEST_F(InterpreterTest, PathsLongerThan259CharactersAreRefusedAtOnce) {
    const QString fits = u"D:\\"_s + QString(200, u'a') + u'\\' + QString(259 - 204, u'b');
    ASSERT_EQ(fits.size(), 259);
    EXPECT_EQ(cmd(u"cmd.exe /c md "_s + fits).exitCode, 0);
    EXPECT_TRUE(folder(fits));
    const auto tooLong = cmd(u"cmd.exe /c md "_s + fits + u'c');
    EXPECT_EQ(tooLong.exitCode, 1);
    EXPECT_EQ(tooLong.output, u"文件名或扩展名太长。\r\n"_s);
    // Long paths of many names, as a line can carry them, and as the platform gets them.
    QString many = u"D:"_s;
    while (many.size() < 8000)
        many += u"\\n"_s;
    EXPECT_EQ(cmd(u"cmd.exe /c md "_s + many).output, u"文件名或扩展名太长。\r\n"_s);
    EXPECT_FALSE(folder(u"D:\\n"_s)) << "nothing of it was made";
    const QString huge = u"D:"_s + u"\\x"_s.repeated(50000);
    EXPECT_EQ(m->files().EntryExists(huge).error().text, u"文件名或扩展名太长。"_s);
    EXPECT_EQ(m->files().DeleteTree(huge).error().text, u"文件名或扩展名太长。"_s);
    // Relative paths count from the current folder.
    EXPECT_EQ(cmd(u"cmd.exe /c md "_s + QString(240, u'r')).output, u"文件名或扩展名太长。\r\n"_s);
}

TEST_F(InterpreterTest, TrailingDotsAndBlanksGoFromTheLastNameOnly) {
    cmd(u"cmd.exe /c md \"D:\\site. .\""_s);
    EXPECT_TRUE(folder(u"D:\\site"_s));
    // Inside a path a name keeps its blanks and loses one dot only.
    cmd(u"cmd.exe /c md \"D:\\mock \\inner\" \"D:\\dot.\\inner\""_s);
    EXPECT_TRUE(QFileInfo(m.folder() + u"/drives/D/mock /inner"_s).isDir());
    EXPECT_TRUE(QFileInfo(m.folder() + u"/drives/D/dot/inner"_s).isDir());
    EXPECT_EQ(emulation::files::WinPath::parse(u"D:\\a..\\b"_s).names, (QStringList{u"a.."_s, u"b"_s}));
}

TEST_F(InterpreterTest, RedirectionFollowsTheRulesOfFilesAndFolders) {
    cmd(u"cmd.exe /c md D:\\locked"_s);
    cmd(u"cmd.exe /c icacls D:\\locked /deny administrators:(WD)"_s);
    auto denied = cmd(u"cmd.exe /c echo secret > D:\\locked\\out.txt"_s);
    EXPECT_EQ(denied.exitCode, 1);
    EXPECT_EQ(denied.output, u"拒绝访问。\r\n"_s);
    EXPECT_FALSE(QFileInfo::exists(m->hostPath(u"D:\\locked\\out.txt"_s)));
    for (const auto* bad : {u"\"D:\\a*b\"", u"\"D:\\a?b\"", u"D:\\x:y", u"\"D:\\p|q\""}) {
        auto r = cmd(u"cmd.exe /c echo x > "_s + QString::fromUtf16(bad));
        EXPECT_EQ(r.output, u"文件名、目录名或卷标语法不正确。\r\n"_s)
            << QString::fromUtf16(bad).toStdString();
    }
    EXPECT_EQ(cmd(u"cmd.exe /c echo x > D:\\aux.txt"_s).output, u"系统找不到指定的文件。\r\n"_s);
    EXPECT_EQ(cmd(u"cmd.exe /c echo x > D:\\none\\f.txt"_s).output, u"系统找不到指定的路径。\r\n"_s);
    EXPECT_EQ(cmd(u"cmd.exe /c echo x > D:\\"_s + QString(300, u'l')).output, u"文件名或扩展名太长。\r\n"_s);
    EXPECT_EQ(cmd(u"cmd.exe /c echo x > D:\\locked"_s).output, u"拒绝访问。\r\n"_s) << "a folder";
    // The last name loses its trailing dots and blanks; NUL swallows, CON shows.
    cmd(u"cmd.exe /c echo x > \"D:\\trail. \""_s);
    EXPECT_EQ(m.readFile(u"D:\\trail"_s), QByteArray("x \r\n"));
    EXPECT_EQ(cmd(u"cmd.exe /c echo x > nul"_s).output, QString());
    EXPECT_EQ(cmd(u"cmd.exe /c echo x > con"_s).output, u"x \r\n"_s);
    // >> appends; an existing file that denies appending refuses.
    cmd(u"cmd.exe /c echo one> D:\\log.txt & echo two>> D:\\log.txt"_s);
    EXPECT_EQ(m.readFile(u"D:\\log.txt"_s), QByteArray("one \r\ntwo\r\n")) << "the blank before & is echoed";
    cmd(u"cmd.exe /c icacls D:\\log.txt /deny administrators:(AD)"_s);
    EXPECT_EQ(cmd(u"cmd.exe /c echo three>> D:\\log.txt"_s).output, u"拒绝访问。\r\n"_s);
}

TEST_F(InterpreterTest, StandardOutputAndStandardErrorAreSeparateStreams) {
    cmd(u"cmd.exe /c md D:\\a"_s);
    const QString exists = u"子目录或文件 D:\\a 已经存在。\r\n"_s;
    // > takes standard output only: the error stays on the console and out of the file.
    auto out = cmd(u"cmd.exe /c md D:\\a > D:\\out.txt"_s);
    EXPECT_EQ(out.output, exists);
    EXPECT_EQ(m.readFile(u"D:\\out.txt"_s), QByteArray());
    auto err = cmd(u"cmd.exe /c md D:\\a 2> D:\\err.txt"_s);
    EXPECT_EQ(err.output, QString());
    EXPECT_EQ(platform::fromAnsi(m.readFile(u"D:\\err.txt"_s)), exists);
    // 2>&1 sends standard error where standard output goes at that point, as cmd.exe reads it.
    EXPECT_EQ(cmd(u"cmd.exe /c md D:\\a > D:\\both.txt 2>&1"_s).output, QString());
    EXPECT_FALSE(m.readFile(u"D:\\both.txt"_s).isEmpty());
    EXPECT_EQ(cmd(u"cmd.exe /c md D:\\a 2>&1 > D:\\first.txt"_s).output, exists);
    EXPECT_EQ(m.readFile(u"D:\\first.txt"_s), QByteArray());
    // A program's own messages: net writes its errors to standard error.
    EXPECT_EQ(cmd(u"cmd.exe /c net user nobody 2>&1 >nul"_s).output,
              u"找不到用户名。\r\n\r\n请键入 NET HELPMSG 2221 以获得更多的帮助。\r\n"_s);
    EXPECT_EQ(cmd(u"cmd.exe /c frobnicate 2>nul"_s).exitCode, 9009);
    EXPECT_EQ(cmd(u"cmd.exe /c frobnicate 2>nul"_s).output, QString());
}

TEST_F(InterpreterTest, PipesFeedTheStandardInputOfTheNextCommand) {
    cmd(u"cmd.exe /c md D:\\p"_s);
    cmd(u"cmd.exe /c net user a pw /add"_s);
    // Without /E cacls replaces the whole list after asking; the answer comes through the pipe.
    auto unanswered = cmd(u"cmd.exe /c cacls D:\\p /g a:F"_s);
    EXPECT_NE(unanswered.exitCode, 0);
    EXPECT_TRUE(m->files().explicitAces(emulation::files::WinPath::parse(u"D:\\p"_s)).empty());
    auto answered = cmd(u"cmd.exe /c echo y| cacls D:\\p /g a:F"_s);
    EXPECT_EQ(answered.exitCode, 0) << answered.output.toStdString();
    const auto aces = m->files().explicitAces(emulation::files::WinPath::parse(u"D:\\p"_s));
    ASSERT_EQ(aces.size(), 1u);
    EXPECT_EQ(aces[0].sid, m->accounts().lookup(u"a"_s)->sid);
    auto no = cmd(u"cmd.exe /c echo n| cacls D:\\p /g administrators:F"_s);
    EXPECT_NE(no.exitCode, 0);
    EXPECT_EQ(m->files().explicitAces(emulation::files::WinPath::parse(u"D:\\p"_s)).size(), 1u);
    // A cmd.exe passes its standard input on to the commands it runs.
    EXPECT_EQ(cmd(u"cmd.exe /c echo y| cmd /c cacls D:\\p /g administrators:F"_s).exitCode, 0);
    EXPECT_EQ(m->files().explicitAces(emulation::files::WinPath::parse(u"D:\\p"_s))[0].sid,
              u"S-1-5-32-544"_s);
    // Standard input from a file, and a pipeline's status is its last command's.
    m.writeFile(u"D:\\yes.txt"_s, "y\r\n");
    EXPECT_EQ(cmd(u"cmd.exe /c cacls D:\\p /g administrators:F < D:\\yes.txt"_s).exitCode, 0);
    EXPECT_EQ(cmd(u"cmd.exe /c frobnicate | echo x"_s).exitCode, 0);
    EXPECT_EQ(cmd(u"cmd.exe /c echo x |"_s).output, u"此时不应有 |。\r\n"_s);
    EXPECT_EQ(cmd(u"cmd.exe /c md D:\\q & | echo x"_s).exitCode, 255);
    EXPECT_FALSE(folder(u"D:\\q"_s)) << "a line with a syntax error runs nothing";
}

TEST_F(InterpreterTest, TextFilesAreWrittenInTheAnsiCodePage) {
    cmd(u"cmd.exe /c echo 网站>D:\\gbk.txt"_s);
    EXPECT_EQ(m.readFile(u"D:\\gbk.txt"_s), QByteArray("\xCD\xF8\xD5\xBE\r\n"));
    EXPECT_EQ(cmd(u"cmd.exe /c type D:\\gbk.txt"_s).output, u"网站\r\n"_s);
    // The fresh machine's default page is GBK, as its meta tag declares.
    const QByteArray page = m.readFile(u"C:\\Inetpub\\wwwroot\\iisstart.htm"_s);
    EXPECT_TRUE(page.contains("charset=gb2312"));
    EXPECT_TRUE(page.contains("\xBD\xA8\xC9\xE8\xD6\xD0")) << "建设中 in GBK";
}

TEST_F(InterpreterTest, TheJournalKeepsTheLineBeforeItRunsAndNeverAPassword) {
    cmd(u"cmd.exe /c net user shop S3cret! /add /fullname:\"x\" & net user shop N3w\"p w\""_s);
    cmd(u"cmd.exe /c net user shop * & NET1 USERS /passwordchg:no shop T0p"_s);
    QFile journal(m.folder() + u"/journal.log"_s);
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    EXPECT_EQ(journal.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                       QFileDevice::WriteGroup | QFileDevice::WriteOther),
              QFileDevice::Permissions())
        << "the owner's only";
    const QString text = QString::fromUtf8(journal.readAll());
    for (const auto* secret : {u"S3cret", u"N3w", u"p w", u"T0p"})
        EXPECT_FALSE(text.contains(QString::fromUtf16(secret))) << QString::fromUtf16(secret).toStdString();
    const QString masked =
        u"cmd.exe /c net user shop ******** /add /fullname:\"x\" & net user shop ********"_s;
    const qsizetype started = text.indexOf(u'\t' + masked + u"\tstarted\n"_s);
    const qsizetype ended = text.indexOf(u'\t' + masked + u"\texit 0\n"_s);
    EXPECT_GE(started, 0) << text.toStdString();
    EXPECT_GT(ended, started) << "the line first, its outcome after";
    EXPECT_TRUE(text.contains(u"net user shop * & NET1 USERS /passwordchg:no shop ********"_s));
    EXPECT_EQ(emulation::cmd::Interpreter::maskPasswords(u"cmd.exe /c \"net user a b /add\""_s),
              u"cmd.exe /c \"net user a ******** /add\""_s);
}

// The password is found as cmd.exe and net find their arguments, however the line spells them.
TEST(Journal, PasswordsAreMaskedByTheParsedArguments) {
    const std::pair<QString, QString> lines[] = {
        {u"cmd /c net^ user bob Secret /add"_s, u"cmd /c net^ user bob ******** /add"_s},
        {u"cmd /c ne^t user bob Secret /add"_s, u"cmd /c ne^t user bob ******** /add"_s},
        {u"cmd /c net \"user\" bob Secret /add"_s, u"cmd /c net \"user\" bob ******** /add"_s},
        {u"cmd /c echo x & \"net\" user bob Se^cret"_s, u"cmd /c echo x & \"net\" user bob ********"_s},
        {u"cmd /c C:\\WINDOWS\\system32\\NET.EXE user /add bob \"Sec ret\""_s,
         u"cmd /c C:\\WINDOWS\\system32\\NET.EXE user /add bob ********"_s},
        {u"cmd /c net user bob Secret>nul 2>&1"_s, u"cmd /c net user bob ********>nul 2>&1"_s},
        {u"cmd /c cmd /c \"net user bob Secret\""_s, u"cmd /c cmd /c \"net user bob ********\""_s},
        {u"cmd /c echo net user"_s, u"cmd /c echo net user"_s},
    };
    for (const auto& [line, masked] : lines)
        EXPECT_EQ(emulation::cmd::Interpreter::maskPasswords(line), masked) << line.toStdString();
}

TEST(Arguments, SplitAsTheCRuntimeDoes) {
    using emulation::programs::splitArguments;
    EXPECT_EQ(splitArguments(u"a b\t c"_s), (QStringList{u"a"_s, u"b"_s, u"c"_s}));
    EXPECT_EQ(splitArguments(u"/fullname:\"Internet 来宾和FTP帐户\" x"_s),
              (QStringList{u"/fullname:Internet 来宾和FTP帐户"_s, u"x"_s}));
    EXPECT_EQ(splitArguments(u"\"D:\\Web Root\\\" next"_s), (QStringList{u"D:\\Web Root\" next"_s}));
    EXPECT_EQ(splitArguments(u"\"D:\\Web Root\\\\\" next"_s), (QStringList{u"D:\\Web Root\\"_s, u"next"_s}));
    EXPECT_EQ(splitArguments(u"\"\" a"_s), (QStringList{QString(), u"a"_s}));
    EXPECT_EQ(splitArguments(u"\"unbalanced and more"_s), (QStringList{u"unbalanced and more"_s}));
}

} // namespace

namespace {

// Links planted in the drives from outside are never followed: what lies outside the machine is
// neither read nor written, and a dangling link does not make its target.
TEST_F(InterpreterTest, PlantedLinksAreNotFollowedOutOfTheDrives) {
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    QFile secret(outside.filePath(u"secret.txt"_s));
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.write("outside secret\r\n");
    secret.close();
    const QString c = m->hostPath(u"C:\\"_s);
    ASSERT_TRUE(QFile::link(outside.filePath(u"secret.txt"_s), c + u"/secret.txt"_s));
    ASSERT_TRUE(QFile::link(outside.path(), c + u"/out"_s));
    ASSERT_TRUE(QFile::link(outside.filePath(u"made-by-link"_s), c + u"/dangling"_s));
    m.writeFile(u"C:\\mine.txt"_s, "mine\r\n");

    const QString lines[] = {
        u"cmd.exe /c type C:\\secret.txt"_s,
        u"cmd.exe /c type C:\\out\\secret.txt"_s,
        u"cmd.exe /c copy C:\\secret.txt C:\\copy.txt"_s,
        u"cmd.exe /c copy /y C:\\mine.txt C:\\secret.txt"_s,
        u"cmd.exe /c copy C:\\mine.txt C:\\out\\"_s,
        u"cmd.exe /c echo x> C:\\secret.txt"_s,
        u"cmd.exe /c echo x>> C:\\secret.txt"_s,
        u"cmd.exe /c echo x> C:\\out\\new.txt"_s,
        u"cmd.exe /c echo x> C:\\dangling"_s,
        u"cmd.exe /c echo x>> C:\\dangling"_s,
        u"cmd.exe /c md C:\\out\\newdir"_s,
        u"cmd.exe /c md C:\\dangling\\sub"_s,
        u"cmd.exe /c sort < C:\\secret.txt"_s,
    };
    for (const QString& line : lines) {
        const auto r = cmd(line);
        EXPECT_NE(r.exitCode, 0) << line.toStdString();
        EXPECT_FALSE(r.output.contains(u"outside secret"_s)) << line.toStdString();
    }
    EXPECT_EQ(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{u"secret.txt"_s});
    ASSERT_TRUE(secret.open(QIODevice::ReadOnly));
    EXPECT_EQ(secret.readAll(), "outside secret\r\n");
    EXPECT_FALSE(QFileInfo::exists(m->hostPath(u"C:\\copy.txt"_s)));
}

} // namespace
