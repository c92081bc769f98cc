// Creating a site with the create button of the real window (Qt's offscreen platform), with 10,
// 10,000 and 100,000 sites on the machine. The fixed waits run on a virtual clock, so every measured
// millisecond is the program's own work and the machine's: the checks, the folder and account
// commands, the metabase writes, the report and the refreshed list.
// Goals: under 50 ms with 10,000 sites beyond the list refresh, no more than 3 times the cost with
// 10 sites (the name check and the number search must not dominate), and with 100,000 sites within
// 2 times the 10,000-site figure plus the list refresh.

#include "bench/Sites.h"
#include "bench/WindowServices.h"
#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/files/FileSystem.h"
#include "emulation/metabase/MetabaseStore.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>

#include <benchmark/benchmark.h>

using namespace Qt::Literals::StringLiterals;

namespace {

struct CreateWindow : bench::WindowServices {
    std::unique_ptr<Form1> form;

    explicit CreateWindow(emulation::machine::Machine& m) : WindowServices(m) {
        QFile page(m.hostPath(u"C:\\WINDOWS\\system32\\drivers\\index.html"_s));
        if (page.open(QIODevice::WriteOnly))
            page.write("<html></html>");
        m.accounts().addGroup(u"velmorausers"_s, {});
        form = makeForm();
        // A secured root with a count that calls for no securing: each press makes only the site.
        form->state.HomeRoot = u"D:\\WebRoot"_s;
        form->state.RunStatus = u"True"_s;
        form->state.SecureCount = u"7"_s;
        form->state.SharedAnonymousUser = u"IUSR_VELMORA"_s;
    }

    // One press: a site with its own account and pool.
    bool create(const QString& name) {
        form->txtSiteName->setText(name);
        form->txtHostName->setText(u"www."_s + name + u".com@"_s + name + u".com"_s);
        form->Check1->setChecked(true);
        form->password->setText(u"pw-"_s + name);
        const auto before = dialogs.shown.size();
        form->Command1_Click();
        return dialogs.shown.size() == before + 1 && dialogs.shown.back().prompt.endsWith(u"创建成功!"_s);
    }

    // Takes the site away again, so that every run finds the same number of sites.
    void remove(const QString& name) {
        auto service = machine.metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
        service->Delete(u"IIsWebServer"_s, QString::number(form->state.SiteNumber));
        machine.metabase()
            .Bind(u"IIS://LocalHost/W3SVC/AppPools"_s)
            .value()
            ->Delete(u"IIsApplicationPool"_s, name);
        machine.accounts().NetUserDel(name);
        machine.files().DeleteTree(u"D:\\WebRoot\\"_s + name);
    }
};

void BM_CreateSite(benchmark::State& state) {
    CreateWindow w(*bench::SitesMachine::withSites(static_cast<int>(state.range(0))).machine);
    int run = 0;
    for (auto _ : state) {
        const QString name = u"bench"_s + QString::number(run++);
        if (!w.create(name)) {
            state.SkipWithError("the site was not created");
            break;
        }
        state.PauseTiming();
        w.remove(name);
        state.ResumeTiming();
    }
}

// The list refresh that ends every create, measured alone, to subtract from the create.
void BM_CreateSiteRefreshShare(benchmark::State& state) {
    CreateWindow w(*bench::SitesMachine::withSites(static_cast<int>(state.range(0))).machine);
    for (auto _ : state) {
        bench::writeBetweenReads(state, w.machine);
        w.form->RefreshSiteList();
    }
}

// The metabase part alone: name check, number search, site, root, pool and MIME types.
void BM_CreateSiteMetabase(benchmark::State& state) {
    CreateWindow w(*bench::SitesMachine::withSites(static_cast<int>(state.range(0))).machine);
    int run = 0;
    for (auto _ : state) {
        const QString name = u"mb"_s + QString::number(run++);
        w.form->CreateIISWebServer(name, u"D:\\WebRoot\\"_s + name + u"\\web"_s, 80, name + u".com"_s);
        state.PauseTiming();
        w.remove(name);
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(bench::RawMetabaseScan)
    ->Name("BM_RawMetabaseScan")
    ->Arg(10)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
// The refresh alone first: after the creates, the heap they leave behind slows it by half.
BENCHMARK(BM_CreateSiteRefreshShare)->Arg(10)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateSite)->Arg(10)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateSiteMetabase)->Arg(10)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return bench::runWindowBenchmarks(argc, argv);
}
