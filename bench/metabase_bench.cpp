// Reading every site of the web service as the site list does, with 10,000 and 100,000 sites.
// Goal: within 4 times BM_RawMetabaseScan, the plain SQLite query of the same rows.

#include "bench/Sites.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/MetabaseXml.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <map>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

void BM_ReadEverySite(benchmark::State& state) {
    emulation::machine::Machine& m =
        *bench::SitesMachine::withSites(static_cast<int>(state.range(0))).machine;
    platform::Metabase& mb = m.metabase();
    std::size_t cells = 0;
    for (auto _ : state) {
        bench::writeBetweenReads(state, m);
        auto scope = mb.ReadScope();
        auto service = mb.Bind(u"IIS://LocalHost/W3SVC"_s);
        auto children = service.value()->Enumerate();
        for (auto& child : children.value()) {
            bool numeric = false;
            child->Name().toUInt(&numeric);
            if (!numeric)
                continue;
            cells += child->Get(u"ServerComment"_s).valueOr({}).toString().size();
            auto site = mb.Bind(u"IIS://LocalHost/W3SVC/"_s + child->Name());
            if (!site)
                continue;
            cells += site.value()->Get(u"ServerState"_s).valueOr({}).toNumber();
            cells += site.value()->Get(u"ServerBindings"_s).valueOr({}).toStringList().size();
            auto root = site.value()->GetObject(u"IIsWebVirtualDir"_s, u"ROOT"_s);
            if (!root)
                continue;
            cells += root.value()->Get(u"Path"_s).valueOr({}).toString().size();
            cells += root.value()->Get(u"AnonymousUserName"_s).valueOr({}).toString().size();
            cells += root.value()->Get(u"AnonymousUserPass"_s).valueOr({}).toString().size();
        }
        benchmark::DoNotOptimize(cells);
    }
    state.counters["sites"] = static_cast<double>(state.range(0));
}

// The pass of a create's or an edit's name check: every site's comment and number, nothing more.
void BM_FindSiteByName(benchmark::State& state) {
    emulation::machine::Machine& m =
        *bench::SitesMachine::withSites(static_cast<int>(state.range(0))).machine;
    platform::Metabase& mb = m.metabase();
    std::size_t found = 0;
    for (auto _ : state) {
        bench::writeBetweenReads(state, m);
        auto scope = mb.ReadScope();
        auto service = mb.Bind(u"IIS://LocalHost/W3SVC"_s);
        auto children = service.value()->Enumerate();
        for (auto& child : children.value()) {
            if (child->Get(u"ServerComment"_s).valueOr({}).toString().trimmed().toUpper() == u"NOSUCHSITE"_s)
                ++found;
            found += child->Name().toUInt() > 0 ? 0 : 1;
        }
        benchmark::DoNotOptimize(found);
    }
}

} // namespace

BENCHMARK(bench::RawMetabaseScan)
    ->Name("BM_RawMetabaseScan")
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadEverySite)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindSiteByName)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
