// Path work of the machine's commands grows with the length of the path, never with its square:
// MkDir of an existing folder (the whole path resolved) and the platform's existence test, with
// the path's length in characters as the argument. Paths longer than 259 characters are refused
// at once, so the long cases measure the refusal.

#include "emulation/cmd/Interpreter.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Machine.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

struct BenchMachine {
    QTemporaryDir dir;
    std::unique_ptr<emulation::machine::Machine> machine;
    BenchMachine() {
        machine = std::move(emulation::machine::Machine::install(dir.path() + u"/m"_s, {})).value();
    }
};

// D:\n\n\n... of the given length.
QString pathOfLength(qsizetype length) {
    QString path = u"D:"_s;
    while (path.size() + 2 <= length)
        path += u"\\n"_s;
    return path;
}

void BM_MkDirOfAPath(benchmark::State& state) {
    BenchMachine m;
    const QString line = u"cmd.exe /c md "_s + pathOfLength(state.range(0));
    m.machine->interpreter().RunHidden(line);
    for (auto _ : state)
        benchmark::DoNotOptimize(m.machine->interpreter().RunHidden(line));
}
BENCHMARK(BM_MkDirOfAPath)->Arg(64)->Arg(258)->Arg(8000)->Unit(benchmark::kMicrosecond);

void BM_EntryExistsOfAPath(benchmark::State& state) {
    BenchMachine m;
    const QString path = pathOfLength(state.range(0));
    m.machine->interpreter().RunHidden(u"cmd.exe /c md "_s +
                                       pathOfLength(std::min<qsizetype>(state.range(0), 258)));
    for (auto _ : state)
        benchmark::DoNotOptimize(m.machine->files().EntryExists(path));
}
BENCHMARK(BM_EntryExistsOfAPath)->Arg(64)->Arg(258)->Arg(20000)->Arg(100000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
