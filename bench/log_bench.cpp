// The log tool on a day's central binary log of at least 1 GB with 100 sites: extracting one site
// with the standalone velmoraconv, which checks the checksum of every record of every site, against
// cat of the same file to /dev/null, in one run. Goal: at least 0.7 of cat's throughput (the
// counter of_cat), and memory that does not grow with the log (under 50 MB resident). The log is
// made at start in /tmp and deleted at the end.
//
//   build/bench/log_bench [--log-megabytes=N] [--keep-log=PATH]

#include "emulation/iislog/CentralBinaryLog.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int Sites = 100;
qint64 g_logBytes = 0;
double g_catMs = 0; // cat's wall time a run, for the extraction's share of its throughput
std::string g_logPath;
std::string g_outPath;

// A day of requests of 100 sites, interleaved as a busy server logs them.
bool makeLog(const QString& path, qint64 targetBytes) {
    QFile::remove(path);
    iislog::Writer writer;
    if (!writer.open(path, QDate(2026, 3, 15))) {
        std::fprintf(stderr, "%s\n", qPrintable(writer.errorString()));
        return false;
    }
    QRandomGenerator random(42);
    const char16_t* stems[] = {u"/", u"/index.html", u"/images/logo.gif", u"/css/site.css",
                               u"/news/show.asp"};
    iislog::LogRecord r;
    r.serverIp = u"192.168.1.10"_s;
    r.serverPort = 80;
    r.protocolVersion = u"HTTP/1.1"_s;
    r.userAgent = u"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:115.0) Gecko/20100101 Firefox/115.0"_s;
    qint64 n = 0;
    for (;;) {
        r.timeMs = 1773532800000 + n * 86400000 / 4000000;
        r.siteId = 10000 + static_cast<quint32>(random.bounded(Sites));
        r.clientIp = u"203.0.113.%1"_s.arg(random.bounded(1, 255));
        r.method = u"GET"_s;
        r.uriStem = QString::fromUtf16(stems[random.bounded(5)]);
        r.uriQuery = r.uriStem.endsWith(u".asp"_s) ? u"id=%1"_s.arg(random.bounded(5000)) : QString();
        r.status = 200;
        r.bytesSent = static_cast<quint64>(random.bounded(100, 50000));
        r.bytesReceived = static_cast<quint64>(random.bounded(300, 700));
        r.timeTaken = static_cast<quint32>(random.bounded(300));
        r.host = u"www.site%1.example"_s.arg(r.siteId);
        r.cookie = random.bounded(3) == 0 ? u"ASPSESSIONIDQQGGQGPC=KDJFHEUFKDJFHSKE"_s : QString();
        r.referrer = random.bounded(2) ? u"http://www.site%1.example/"_s.arg(r.siteId) : QString();
        writer.append(r);
        if (++n % 10000 == 0) {
            writer.flush();
            if (QFileInfo(path).size() >= targetBytes)
                break;
        }
    }
    writer.close();
    return true;
}

struct ChildRun {
    int status = -1;
    long maxRssKb = 0;
    double cpuMs = 0; // user and system time: fairer than the wall clock on a busy machine
};

// Runs a program with its standard output sent to /dev/null; its exit status and peak resident size.
ChildRun spawn(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    ChildRun run;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.maxRssKb = usage.ru_maxrss;
        run.cpuMs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

void report(benchmark::State& state, long maxRssKb, double cpuMs) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * g_logBytes);
    state.counters["child_cpu_ms"] = cpuMs / static_cast<double>(state.iterations());
    state.counters["log_MB"] = static_cast<double>(g_logBytes) / (1024.0 * 1024.0);
    state.counters["max_rss_MB"] = static_cast<double>(maxRssKb) / 1024.0;
}

void BM_CatToDevNull(benchmark::State& state) {
    long rss = 0;
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const ChildRun run = spawn({"cat", g_logPath});
        wall += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (run.status != 0)
            state.SkipWithError("cat failed");
        rss = std::max(rss, run.maxRssKb);
        cpu += run.cpuMs;
    }
    g_catMs = wall / static_cast<double>(state.iterations());
    report(state, rss, cpu);
}

void BM_ExtractOneSite(benchmark::State& state) {
    const std::string query =
        "select * into " + g_outPath + " from " + g_logPath + " where siteid=" + std::to_string(10000 + 42);
    long rss = 0;
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        // Each run writes a new log, as the first does: a log replaced by the rename would have its
        // blocks freed within it (milliseconds on a disk mounted with discard), which is no part of
        // reading the binary log.
        QFile::remove(QString::fromStdString(g_outPath));
        const auto start = std::chrono::steady_clock::now();
        const ChildRun run = spawn({VELMORACONV_BIN, "-i:BIN", "-o:w3c", query});
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (run.status != 0)
            state.SkipWithError("velmoraconv failed");
        wall += ms;
        rss = std::max(rss, run.maxRssKb);
        cpu += run.cpuMs;
    }
    report(state, rss, cpu);
    // The share of cat's throughput: cat's mean wall time over the extraction's.
    if (g_catMs > 0 && wall > 0)
        state.counters["of_cat"] = g_catMs / (wall / static_cast<double>(state.iterations()));
    QFile out(QString::fromStdString(g_outPath));
    state.counters["site_log_MB"] = static_cast<double>(out.size()) / (1024.0 * 1024.0);
}

} // namespace

int main(int argc, char** argv) {
    qint64 megabytes = 1100;
    QString kept; // a log made once and kept between runs
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--log-megabytes=", 16) == 0)
            megabytes = std::atoll(argv[i] + 16);
        else if (std::strncmp(argv[i], "--keep-log=", 11) == 0)
            kept = QString::fromLocal8Bit(argv[i] + 11);
        else
            rest.push_back(argv[i]);
    }
    const QString dir = QDir::tempPath();
    const QString log = kept.isEmpty() ? dir + u"/velmora-log-bench-%1.ibl"_s.arg(::getpid()) : kept;
    g_logPath = log.toStdString();
    g_outPath = (dir + u"/velmora-log-bench-%1.log"_s.arg(::getpid())).toStdString();
    if (kept.isEmpty() || !QFile::exists(kept)) {
        std::fprintf(stderr, "making a %lld MB log of %d sites in %s ...\n",
                     static_cast<long long>(megabytes), Sites, g_logPath.c_str());
        if (!makeLog(log, megabytes * 1024 * 1024))
            return 1;
    }
    g_logBytes = QFileInfo(log).size();
    spawn({"cat", g_logPath}); // the page cache holds the file for both

    benchmark::RegisterBenchmark("BM_CatToDevNull", BM_CatToDevNull)
        ->Arg(Sites)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(3);
    benchmark::RegisterBenchmark("BM_ExtractOneSite", BM_ExtractOneSite)
        ->Arg(Sites)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(3);
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (kept.isEmpty())
        QFile::remove(log);
    QFile::remove(QString::fromStdString(g_outPath));
    return 0;
}
