// iisreset.exe: stopping, starting and restarting the Internet services, and their state.

#include "emulation/machine/Machine.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using testing_support::run;

namespace {

TEST(IisReset, StopStartRestartAndStatus) {
    testing_support::TempMachine m;
    auto cmd = [&](const QString& line) {
        return run(m.machine(), u"cmd.exe /c "_s + line);
    };
    auto stopped = cmd(u"iisreset /stop"_s);
    EXPECT_EQ(stopped.exitCode, 0);
    EXPECT_EQ(stopped.output, u"\r\n正在尝试停止...\r\nInternet 服务已成功停止\r\n"_s);
    EXPECT_EQ(m->fact(u"service.w3svc"_s), u"stopped"_s);
    EXPECT_TRUE(
        cmd(u"iisreset /status"_s).output.contains(u"World Wide Web Publishing ( W3SVC ) 的状态: 已停止"_s));
    auto started = cmd(u"iisreset /start"_s);
    EXPECT_EQ(started.output, u"\r\n正在尝试启动...\r\nInternet 服务已成功启动\r\n"_s);
    EXPECT_EQ(m->fact(u"service.w3svc"_s), u"running"_s);
    EXPECT_TRUE(cmd(u"iisreset /status"_s).output.contains(u"( W3SVC ) 的状态: 正在运行"_s));
    EXPECT_TRUE(cmd(u"iisreset /restart"_s).output.endsWith(u"Internet 服务已成功重新启动\r\n"_s));
    EXPECT_EQ(cmd(u"iisreset /reboot"_s).exitCode, 87);
    EXPECT_EQ(cmd(u"iisreset /stop /start"_s).exitCode, 87);
    EXPECT_EQ(m->fact(u"service.w3svc"_s), u"running"_s) << "a refused line changes nothing";
}

} // namespace
