#include "catalogue/Operation.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using catalogue::Operation;
using platform::CommandResult;

namespace {

platform::Outcome<CommandResult> ended(int code, const QString& output) {
    return CommandResult{code, output};
}

TEST(Operation, AStepFailsWhenItsEffectDidNotHappen) {
    EXPECT_TRUE(Operation::achieved(u"cmd.exe /c net user a b /add"_s, ended(0, u"命令成功完成。"_s)));
    EXPECT_FALSE(Operation::achieved(u"cmd.exe /c net user a b /add"_s, ended(2, u"帐户已存在。"_s)));
    EXPECT_TRUE(Operation::achieved(u"cmd.exe /c MkDir D:\\x\\web"_s,
                                    ended(1, u"子目录或文件 D:\\x\\web 已经存在。"_s)));
    EXPECT_FALSE(Operation::achieved(u"cmd.exe /c MkDir D:\\x\\web"_s, ended(1, u"拒绝访问。"_s)));
    EXPECT_TRUE(
        Operation::achieved(u"cmd.exe /c net localgroup Users a /delete"_s,
                            ended(2, u"发生系统错误 1377。\r\n\r\n指定的帐户名不是本地组的成员。"_s)));
    EXPECT_TRUE(Operation::achieved(u"cmd.exe /c net localgroup velmorausers a /add"_s,
                                    ended(2, u"发生系统错误 1378。"_s)));
    EXPECT_FALSE(Operation::achieved(u"cmd.exe /c net localgroup velmorausers a /add"_s,
                                     ended(2, u"发生系统错误 1376。"_s)));
    EXPECT_TRUE(
        Operation::achieved(u"cmd.exe /c net user a /delete"_s,
                            ended(2, u"找不到用户名。\r\n\r\n请键入 NET HELPMSG 2221 以获得更多的帮助。"_s)));
    EXPECT_FALSE(Operation::achieved(u"cmd.exe /c net user a"_s, platform::Error{0x80070002, u"x"_s}));
}

TEST(Operation, EachFailureIsOneLineWithTheCommandAndWhy) {
    Operation op;
    EXPECT_FALSE(op.failed());
    op.command(u"cmd.exe /c md D:\\a"_s, ended(1, u"\r\n拒绝访问。\r\n"_s));
    op.command(u"cmd.exe /c iisreset.exe"_s, platform::Error{0x80070002, u"系统找不到指定的文件。"_s});
    op.command(u"cmd.exe /c weird"_s, ended(3, QString()));
    op.step(u"SetInfo IIS://LocalHost/W3SVC/10000"_s,
            platform::Error{0x80070003, u"系统找不到指定的路径。"_s});
    EXPECT_TRUE(op.failed());
    EXPECT_EQ(
        op.failures(),
        (QStringList{u"cmd.exe /c md D:\\a：拒绝访问。"_s,
                     u"cmd.exe /c iisreset.exe：系统找不到指定的文件。"_s, u"cmd.exe /c weird：退出代码 3"_s,
                     u"SetInfo IIS://LocalHost/W3SVC/10000：系统找不到指定的路径。 (0x80070003)"_s}));
}

} // namespace
