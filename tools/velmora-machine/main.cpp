// velmora-machine: installs, inspects and operates an emulated Windows Server 2003 + IIS 6 machine.

#include "emulation/Database.h"
#include "emulation/FileSystem.h"
#include "emulation/Interpreter.h"
#include "emulation/Machine.h"
#include "emulation/MachineInfo.h"
#include "emulation/MetabaseXml.h"

#include "emulation/AccountStore.h"
#include "tools/velmora-machine/Traffic.h"

#include <QCoreApplication>
#include <QDate>
#include <QFile>
#include <QHostAddress>
#include <QStringList>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

int serveCommand(const QString& folder, QStringList args); // Serve.cpp

namespace {

void print(FILE* to, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
}

int usage() {
    print(stderr,
          u"用法：\n"
          "  velmora-machine install [--machine 文件夹] [--name 计算机名]\n"
          "  velmora-machine metabase export [--machine 文件夹] [--output MetaBase.xml]\n"
          "  velmora-machine metabase import 文件 [--machine 文件夹]\n"
          "  velmora-machine serve [--machine 文件夹] [--port-offset N]\n"
          "不给 --machine 时使用 VELMORA_MACHINE 或默认的 %1\n"_s.arg(emulation::Machine::defaultFolder()));
    return 2;
}

// Takes "--name VALUE" out of the arguments.
QString takeOption(QStringList& args, const QString& name) {
    const qsizetype i = args.indexOf(name);
    if (i < 0 || i + 1 >= args.size())
        return {};
    const QString value = args.at(i + 1);
    args.remove(i, 2);
    return value;
}

int fail(const QString& message) {
    print(stderr, message + u'\n');
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString folder = takeOption(args, u"--machine"_s);
    if (folder.isEmpty())
        folder = emulation::Machine::defaultFolder();
    const QString name = takeOption(args, u"--name"_s);
    const QString output = takeOption(args, u"--output"_s);
    if (args.isEmpty())
        return usage();

    const QString command = args.takeFirst();
    if (command == u"serve"_s)
        return serveCommand(folder, args);
    if (command == u"traffic"_s)
        return runTraffic(folder, args);
    if (command == u"install"_s) {
        emulation::Machine::InstallOptions options;
        if (!name.isEmpty())
            options.name = name;
        auto machine = emulation::Machine::install(folder, options);
        if (!machine)
            return fail(machine.error().text);
        print(stdout, u"已安装模拟服务器 %1（Windows Server 2003 SP2，IIS 6）：%2\n"_s.arg(
                          options.name.toUpper(), folder));
        return 0;
    }
    if (command == u"install-program"_s && args.isEmpty()) {
        auto machine = emulation::Machine::open(folder);
        if (!machine)
            return fail(machine.error().text);
        // The program's own installation: its default page and the log tool beside the settings file.
        for (const QString& file : {u"index.html"_s, u"velmoraconv.exe"_s}) {
            QFile source(u":/velmora/program/"_s + file);
            const QString target = machine.value()->hostPath(u"C:\\WINDOWS\\system32\\drivers\\"_s + file);
            QFile::remove(target);
            if (!source.open(QIODevice::ReadOnly) || !source.copy(target))
                return fail(u"无法写入 %1"_s.arg(target));
        }
        print(stdout, u"已安装 index.html 和 velmoraconv.exe 到 C:\\WINDOWS\\system32\\drivers\n"_s);
        return 0;
    }
    if (command == u"facts"_s) {
        auto machine = emulation::Machine::open(folder);
        if (!machine)
            return fail(machine.error().text);
        emulation::Machine& m = *machine.value();
        if (args.isEmpty()) {
            for (const QString& name :
                 {u"name"_s, u"build"_s, u"version"_s, u"servicepack"_s, u"addresses"_s, u"date"_s,
                  u"service.iisadmin"_s, u"service.w3svc"_s, u"service.msftpsvc"_s, u"service.winmgmt"_s})
                print(stdout, name + u" = "_s + m.fact(name) + u'\n');
            return 0;
        }
        static const QStringList settable{u"build"_s, u"name"_s, u"addresses"_s, u"date"_s};
        if (args.size() == 3 && args[0] == u"set"_s && settable.contains(args[1])) {
            QString value = args[2];
            if (args[1] == u"name"_s) {
                if (!emulation::AccountStore::validName(value) || value.size() > 15 || value.contains(u' '))
                    return fail(u"计算机名无效：%1"_s.arg(value));
                value = value.toUpper();
            }
            if (args[1] == u"build"_s && (value.toUInt() == 0))
                return fail(u"版本号无效：%1"_s.arg(value));
            if (args[1] == u"addresses"_s) {
                for (const QStringList& adapter : emulation::MachineInfo::parseAddresses(value))
                    for (const QString& a : adapter)
                        if (QHostAddress(a).protocol() != QAbstractSocket::IPv4Protocol)
                            return fail(u"不是 IPv4 地址：%1"_s.arg(a));
                value =
                    emulation::MachineInfo::formatAddresses(emulation::MachineInfo::parseAddresses(value));
            }
            if (args[1] == u"date"_s && !QDate::fromString(value, u"yyyy-MM-dd"_s).isValid() &&
                !value.isEmpty())
                return fail(u"日期无效（应为 yyyy-MM-dd）：%1"_s.arg(value));
            m.setFact(args[1], value);
            return 0;
        }
        return usage();
    }
    if (command == u"service"_s && args.size() == 2) {
        static const QStringList services{u"iisadmin"_s, u"w3svc"_s, u"msftpsvc"_s, u"winmgmt"_s};
        const QString name = args[1].toLower();
        if ((args[0] != u"stop"_s && args[0] != u"start"_s) || !services.contains(name))
            return usage();
        auto machine = emulation::Machine::open(folder);
        if (!machine)
            return fail(machine.error().text);
        machine.value()->setFact(u"service."_s + name, args[0] == u"stop"_s ? u"stopped"_s : u"running"_s);
        print(stdout, (args[0] == u"stop"_s ? u"%1 服务已停止。\n"_s : u"%1 服务已启动。\n"_s).arg(name));
        return 0;
    }
    if (command == u"cmd"_s && args.size() == 1) {
        auto machine = emulation::Machine::open(folder);
        if (!machine)
            return fail(machine.error().text);
        const auto result = machine.value()->interpreter().RunHidden(args.first());
        if (!result)
            return fail(result.error().text);
        print(stdout, result.value().output);
        print(stdout, u"[退出代码 %1]\n"_s.arg(result.value().exitCode));
        return result.value().exitCode == 0 ? 0 : 1;
    }
    if (command == u"metabase"_s && !args.isEmpty()) {
        const QString what = args.takeFirst();
        auto machine = emulation::Machine::open(folder);
        if (!machine)
            return fail(machine.error().text);
        if (what == u"export"_s && args.isEmpty()) {
            const QByteArray xml = emulation::exportMetabaseXml(machine.value()->db());
            if (output.isEmpty()) {
                std::fwrite(xml.constData(), 1, static_cast<size_t>(xml.size()), stdout);
                return 0;
            }
            QFile f(output);
            if (!f.open(QIODevice::WriteOnly) || f.write(xml) != xml.size())
                return fail(u"无法写入 %1"_s.arg(output));
            return 0;
        }
        if (what == u"import"_s && args.size() == 1) {
            QFile f(args.first());
            if (!f.open(QIODevice::ReadOnly))
                return fail(u"无法读取 %1"_s.arg(args.first()));
            if (auto s = emulation::importMetabaseXml(machine.value()->db(), f.readAll()); !s)
                return fail(s.error().text);
            print(stdout, u"已导入元数据库：%1\n"_s.arg(args.first()));
            return 0;
        }
    }
    return usage();
}
