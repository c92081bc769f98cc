// The table of velmora-machine's subcommands. A new subcommand is one row here (kept in
// alphabetical order) and its run function in a file of its own.

#include "tools/velmora-machine/Subcommand.h"

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

const std::vector<Subcommand>& subcommands() {
    static const std::vector<Subcommand> table = {
        {u"check"_s,
         u"检查网站、文件夹、帐户、应用程序池和权限是否一致，并可修复不会丢失数据的问题"_s,
         {},
         u"每个问题一行：种类、网站、对象、问题、修复方式。--repair "
         u"只修复不会丢失任何东西的问题，从不删除文件夹或文件。"
         "退出状态：0 没有问题（或全部已修复），1 仍有问题，2 无法检查。"_s,
         {QCommandLineOption(u"json"_s, u"以 JSON 输出"_s),
          QCommandLineOption(u"repair"_s, u"修复能安全修复的问题"_s)},
         0,
         0,
         runCheck},
        {u"cmd"_s,
         u"在模拟服务器上启动一个命令行，如 Velmora 启动命令那样"_s,
         u"命令行"_s,
         u"命令行如 Velmora 所做的那样启动，不经过 cmd.exe：md、copy、echo 等 cmd.exe 的内部命令须写成"
         "“cmd.exe /c md D:\\x”。命令行记入 journal.log。输出之后显示“[退出代码 "
         "N]”；命令无法启动时只显示原因；"
         "退出代码不为 0 时本程序以状态 1 结束。"_s,
         {},
         1,
         1,
         runCmd},
        {u"facts"_s,
         u"显示或设置模拟服务器的事实（计算机名、版本号、地址、日期、服务状态）"_s,
         u"[set 名称 值]"_s,
         u"不带参数时列出全部事实。可以设置的事实：build（版本号）、name（计算机名）、"
         "addresses（IPv4 地址，同一网卡的地址以空格分隔，网卡之间以分号分隔）、date（yyyy-MM-dd，"
         "空值表示今天）。"_s,
         {},
         0,
         3,
         runFacts},
        {u"help"_s, u"显示全部子命令的说明，或一个子命令的说明"_s, u"[子命令]"_s, {}, {}, 0, 1, runHelp},
        {u"install"_s,
         u"在一个文件夹中安装一台新的模拟服务器（Windows Server 2003 SP2，IIS 6）"_s,
         {},
         u"先在目标文件夹旁的临时文件夹中建好整台服务器，完成后才改名为目标文件夹；"
         "已有模拟服务器的文件夹不会被覆盖。"_s,
         {QCommandLineOption(u"name"_s, u"计算机名（最多 15 个字符，默认 VELMORA）"_s, u"计算机名"_s)},
         0,
         0,
         runInstall},
        {u"install-program"_s,
         u"安装本程序自己的文件：index.html 和 velmoraconv.exe 放入 C:\\WINDOWS\\system32\\drivers"_s,
         {},
         {},
         {},
         0,
         0,
         runInstallProgram},
        {u"metabase"_s,
         u"把元数据库导出为 IIS 6 的 MetaBase.xml，或从这样的文件导入"_s,
         u"export | import 文件 | history | restore 版本"_s,
         u"export 写出整个元数据库；加密属性（AnonymousUserPass、WAMUserPass）以本服务器自己的密钥加密。"
         "import 以文件中的项替换整个元数据库；加密属性只能导入到导出它们的服务器上，"
         "否则拒绝导入，什么也不改变。history 列出 inetsrv\\History 中保存的版本；restore 导入其中一个版本。"_s,
         {QCommandLineOption(u"output"_s, u"export 写入的文件（默认写到标准输出）"_s, u"文件"_s)},
         1,
         2,
         runMetabase},
        {u"serve"_s,
         u"在前台运行模拟服务器的 Web 服务（W3SVC）和 FTP 服务（MSFTPSVC），直到按 Ctrl+C 或收到 SIGTERM"_s,
         {},
         u"只在环回地址上应答：服务器的每个 IP 地址映射到一个自己的 127.0.1.x 地址（启动时列出），"
         "“全部未分配”的绑定在 127.0.0.1 和每个映射地址上应答；每个绑定的端口加上偏移量。"
         "每个请求都记入日志（中央二进制日志，或每个网站自己的 W3C 日志）。"
         "已启动的 FTP 站点（默认 FTP 站点绑定 :21:）同样在端口加偏移量处应答（默认 8021），"
         "用服务器的帐户登录，每个命令记入 MSFTPSVC<n> 的 W3C 日志。"_s,
         {QCommandLineOption(u"port-offset"_s, u"加在每个绑定端口上的偏移量（默认 8000；0 表示真实端口）"_s,
                             u"N"_s),
          QCommandLineOption(u"no-ftp"_s, u"不运行 FTP 服务"_s)},
         0,
         0,
         runServe},
        {u"service"_s,
         u"停止或启动模拟服务器的一个服务"_s,
         u"stop | start 服务"_s,
         u"服务：iisadmin、w3svc、msftpsvc、winmgmt。"_s,
         {},
         2,
         2,
         runService},
        {u"traffic"_s,
         u"把一个网站的模拟请求写入某一天的中央二进制日志"_s,
         {},
         u"请求按网站的绑定生成，分布在当天（UTC）之中，经 Web 服务自己的日志写入程序写入 "
         "LogFileDirectory\\W3SVC\\raYYMMDD.ibl。Web 服务须已启用中央二进制日志。"_s,
         {QCommandLineOption(u"site"_s, u"网站标识符（必需）"_s, u"标识符"_s),
          QCommandLineOption(u"date"_s, u"日期 yyyymmdd（默认为服务器的今天）"_s, u"日期"_s),
          QCommandLineOption(u"requests"_s, u"请求数（默认 100）"_s, u"个数"_s)},
         0,
         0,
         runTrafficSubcommand},
    };
    return table;
}

} // namespace velmora_machine
