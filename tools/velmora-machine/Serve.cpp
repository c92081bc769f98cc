// velmora-machine serve: the machine's web service (W3SVC) and FTP service (MSFTPSVC) in the
// foreground, on one event loop.

#include "emulation/machine/Machine.h"
#include "emulation/msftpsvc/FtpListeners.h"
#include "emulation/msftpsvc/FtpService.h"
#include "emulation/net/EventLoop.h"
#include "emulation/w3svc/HttpListeners.h"
#include "emulation/w3svc/WebService.h"
#include "tools/velmora-machine/Subcommand.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

void say(FILE* to, const QString& text) {
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

// Where each started site answers, as a command to reach it.
void printSites(const w3svc::Snapshot& snap, const w3svc::HttpListeners& listeners) {
    constexpr int Shown = 20;
    int shown = 0, more = 0;
    for (const w3svc::Site& site : snap.table->sites()) {
        if (site.state != w3svc::state::Started && site.state != w3svc::state::Paused)
            continue;
        for (const w3svc::Binding& b : site.bindings) {
            if (shown >= Shown) {
                ++more;
                continue;
            }
            ++shown;
            const QString address = b.ip.isEmpty() ? u"127.0.0.1"_s : listeners.loopbackOf(b.ip);
            const QString url = u"http://%1:%2/"_s.arg(address).arg(b.port + listeners.portOffset());
            say(stdout,
                u"  %1 %2 (%3:%4:%5)%6 -> %7"_s.arg(site.id).arg(
                    site.comment, b.ip, QString::number(b.port), b.host,
                    site.state == w3svc::state::Paused ? u" [已暂停]"_s : QString(),
                    b.host.isEmpty() ? u"curl "_s + url : u"curl -H \"Host: %1\" %2"_s.arg(b.host, url)));
        }
    }
    if (more > 0)
        say(stdout, u"  ……另有 %1 个绑定"_s.arg(more));
}

// Where each started FTP site answers.
void printFtpSites(const msftpsvc::FtpSnapshot& snap, const msftpsvc::FtpListeners& listeners) {
    for (const msftpsvc::FtpSite& site : snap.table->sites()) {
        if (site.state != msftpsvc::state::Started && site.state != msftpsvc::state::Paused)
            continue;
        for (const msftpsvc::FtpBinding& b : site.bindings) {
            const QString address = b.ip.isEmpty() ? u"127.0.0.1"_s : listeners.loopbackOf(b.ip);
            say(stdout, u"  FTP %1 %2 (%3:%4:)%5 -> ftp://%6:%7/"_s.arg(site.id).arg(
                            site.comment, b.ip, QString::number(b.port),
                            site.state == msftpsvc::state::Paused ? u" [已暂停]"_s : QString(), address,
                            QString::number(b.port + listeners.portOffset())));
        }
    }
}

} // namespace

// Runs the web service of the machine in folder until SIGINT or SIGTERM. Exit status 0 after a
// clean stop, 1 when the machine cannot be opened, 2 for wrong arguments, 3 when the machine's
// web service already runs in another process.
int serveCommand(const QString& folder, QStringList args) {
    int offset = 8000;
    bool ftp = true;
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool ok = false;
        if (args[i] == u"--no-ftp"_s) {
            ftp = false;
            continue;
        }
        if (args[i] == u"--port-offset"_s && i + 1 < args.size()) {
            offset = args[++i].toInt(&ok);
            if (ok && offset >= 0 && offset < 65535)
                continue;
        }
        say(stderr,
            u"用法：velmora-machine serve [--machine 文件夹] [--port-offset N]（默认 8000） [--no-ftp]"_s);
        return 2;
    }

    // The signals are taken by this thread alone, waiting in sigtimedwait; every thread started
    // from here inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Every connection holds a descriptor: the soft limit goes up to the hard one. Past it, new
    // connections wait in the backlog while the served ones go on.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    auto opened = emulation::machine::Machine::open(folder);
    if (!opened) {
        say(stderr, opened.error().text);
        return 1;
    }
    // One web service a machine: the lock is held for the life of this process.
    const QByteArray lockFile = QFile::encodeName(folder + u"/w3svc.lock"_s);
    const int lock = ::open(lockFile.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        if (lock >= 0 && ::pread(lock, pid, sizeof pid - 1, 0) < 0)
            pid[0] = 0;
        say(stderr,
            u"这台模拟服务器的 W3SVC 已在运行（进程 %1）。"_s.arg(QString::fromLatin1(pid).trimmed()));
        return 3;
    }
    const QByteArray self = QByteArray::number(::getpid()) + '\n';
    if (::ftruncate(lock, 0) != 0 ||
        ::pwrite(lock, self.constData(), static_cast<size_t>(self.size()), 0) < 0)
        say(stderr, u"无法写入 %1"_s.arg(QFile::decodeName(lockFile)));
    emulation::machine::Machine& machine = *opened.value();
    // The FTP service reads the machine through a connection of its own.
    std::unique_ptr<emulation::machine::Machine> ftpMachine;
    if (ftp) {
        auto second = emulation::machine::Machine::open(folder);
        if (!second) {
            say(stderr, second.error().text);
            return 1;
        }
        ftpMachine = std::move(second).value();
    }
    // The services outlive the event loop: connections still queued on it when it ends use them.
    w3svc::WebService service(machine);
    std::unique_ptr<msftpsvc::FtpService> ftpService;
    if (ftp)
        ftpService = std::make_unique<msftpsvc::FtpService>(*ftpMachine);
    net::EventLoop loop;
    w3svc::HttpListeners listeners(service, loop, offset);
    std::unique_ptr<msftpsvc::FtpListeners> ftpListeners;
    if (ftp)
        ftpListeners =
            std::make_unique<msftpsvc::FtpListeners>(*ftpService, loop, offset, listeners.addressMap());
    auto warn = [](const QString& text) {
        say(stderr, text);
    };

    say(stdout, u"W3SVC%1：模拟服务器 %2，端口 = 绑定端口 + %3，%4 个事件线程"_s
                    .arg(ftp ? u" 和 MSFTPSVC"_s : QString(), folder)
                    .arg(offset)
                    .arg(loop.threadCount()));
    say(stdout, u"地址映射（本机地址 -> 回环地址）："_s);
    for (const auto& [address, loopback] : listeners.addressMap())
        say(stdout, u"  %1 -> %2"_s.arg(address, loopback));
    say(stdout, u"  (全部未分配) -> 127.0.0.1 及以上各回环地址"_s);
    listeners.update(warn);
    if (ftpListeners)
        ftpListeners->update(warn);
    const auto snap = service.current();
    if (!snap->running)
        say(stdout, u"W3SVC 服务已停止：启动服务后开始应答。"_s);
    say(stdout, u"站点："_s);
    printSites(*snap, listeners);
    if (ftpService) {
        const auto ftpSnap = ftpService->current();
        if (!ftpSnap->running)
            say(stdout, u"MSFTPSVC 服务已停止：启动服务后开始应答。"_s);
        printFtpSites(*ftpSnap, *ftpListeners);
    }
    say(stdout, u"正在运行。按 Ctrl+C 停止。"_s);

    std::time_t lastFlush = std::time(nullptr);
    for (;;) {
        const timespec tick{0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM)
            break;
        listeners.update(warn);
        if (ftpListeners)
            ftpListeners->update(warn);
        // The logs reach their files at least once a second, so that they can be read at once.
        if (std::time(nullptr) != lastFlush) {
            service.flushLogs();
            if (ftpService)
                ftpService->flushLogs();
            lastFlush = std::time(nullptr);
            // What a crowd of connections left behind goes back to the system once they are gone.
            if (lastFlush % 5 == 0)
                ::malloc_trim(0);
        }
    }
    listeners.stop();
    if (ftpListeners)
        ftpListeners->stop();
    loop.stop();
    service.flushLogs();
    if (ftpService)
        ftpService->flushLogs();
    say(stdout, u"W3SVC 已停止。"_s);
    return 0;
}

namespace velmora_machine {

int runServe(const Invocation& invocation) {
    QStringList args;
    if (invocation.isSet(u"port-offset"_s))
        args << u"--port-offset"_s << invocation.value(u"port-offset"_s);
    if (invocation.isSet(u"no-ftp"_s))
        args << u"--no-ftp"_s;
    return serveCommand(invocation.machineFolder(), args);
}

} // namespace velmora_machine
