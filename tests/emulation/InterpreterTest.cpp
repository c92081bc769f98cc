// cmd.exe conformance: how a "cmd.exe /c" line is parsed and run.

#include "emulation/AccountStore.h"
#include "emulation/FileSystem.h"
#include "emulation/programs/Program.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using testing_support::run;

namespace {

class InterpreterTest : public ::testing::Test {
protected:
    testing_support::TempMachine m;
    platform::CommandResult cmd(const QString& line) { return run(m.machine(), line); }
    bool folder(const QString& path) { return m->files().isFolder(emulation::WinPath::parse(path)); }
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
    EXPECT_EQ(emulation::Interpreter::expand(u"%COMSPEC%"_s, m->interpreter().environment()),
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
    EXPECT_EQ(cmd(u"cmd.exe /c net user nobody 2>&1 >nul"_s).output, QString());
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
}

TEST_F(InterpreterTest, EveryRunIsJournaled) {
    cmd(u"cmd.exe /c net user ghost"_s);
    QFile journal(m.folder() + u"/journal.log"_s);
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(journal.readAll());
    EXPECT_TRUE(text.contains(u"\tcmd.exe /c net user ghost\texit 2\n"_s)) << text.toStdString();
    EXPECT_TRUE(text.contains(u"\t| 找不到用户名。"_s));
}

TEST(Arguments, SplitAsTheCRuntimeDoes) {
    using emulation::splitArguments;
    EXPECT_EQ(splitArguments(u"a b\t c"_s), (QStringList{u"a"_s, u"b"_s, u"c"_s}));
    EXPECT_EQ(splitArguments(u"/fullname:\"Internet 来宾和FTP帐户\" x"_s),
              (QStringList{u"/fullname:Internet 来宾和FTP帐户"_s, u"x"_s}));
    EXPECT_EQ(splitArguments(u"\"D:\\Web Root\\\" next"_s), (QStringList{u"D:\\Web Root\" next"_s}));
    EXPECT_EQ(splitArguments(u"\"D:\\Web Root\\\\\" next"_s), (QStringList{u"D:\\Web Root\\"_s, u"next"_s}));
    EXPECT_EQ(splitArguments(u"\"\" a"_s), (QStringList{QString(), u"a"_s}));
    EXPECT_EQ(splitArguments(u"\"unbalanced and more"_s), (QStringList{u"unbalanced and more"_s}));
}

} // namespace
