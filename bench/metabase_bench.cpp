// Reading every site of the web service as the site list does, with 1,000 and 10,000 sites.
// Goal: 10,000 sites in under 100 ms.

#include "emulation/Machine.h"
#include "emulation/MetabaseStore.h"
#include "emulation/MetabaseXml.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <map>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// A machine with `sites` sites made as the program makes them, plus the default site.
struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<emulation::Machine> machine;

    explicit Fixture(int sites) {
        machine = emulation::Machine::install(dir.path() + u"/m"_s, {}).value();
        QByteArray xml = emulation::exportMetabaseXml(machine->db());
        QByteArray extra;
        for (int i = 0; i < sites; ++i) {
            const QByteArray n = QByteArray::number(10000 + i);
            const QByteArray name = "site" + n;
            extra += "<IIsWebServer\tLocation =\"/LM/W3SVC/" + n + "\"\n\t\tServerBindings=\":80:www." +
                     name + ".com\n\t\t\t:80:" + name + ".com\"\n\t\tServerComment=\"" + name +
                     "\"\n\t\tServerState=\"2\"\n\t>\n</IIsWebServer>\n"
                     "<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/" +
                     n + "/ROOT\"\n\t\tAnonymousUserName=\"" + name + "\"\n\t\tAnonymousUserPass=\"pw" + n +
                     "\"\n\t\tPath=\"D:\\WebRoot\\" + name + "\\web\"\n\t>\n</IIsWebVirtualDir>\n";
        }
        xml.replace("</MBProperty>", extra + "</MBProperty>");
        if (!emulation::importMetabaseXml(machine->db(), xml))
            std::abort();
    }
};

// Machines are built once per size and kept for all runs of the benchmark.
Fixture& fixture(int sites) {
    static std::map<int, std::unique_ptr<Fixture>> made;
    auto& f = made[sites];
    if (!f)
        f = std::make_unique<Fixture>(sites);
    return *f;
}

void BM_ReadEverySite(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    platform::Metabase& mb = f.machine->metabase();
    std::size_t cells = 0;
    for (auto _ : state) {
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

} // namespace

BENCHMARK(BM_ReadEverySite)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
