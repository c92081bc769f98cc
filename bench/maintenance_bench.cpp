// A click on a site's state cell, an edit and a delete on the real window (Qt's offscreen
// platform) with many sites. Goals: each under 150 ms with 10,000 sites beyond its fixed waits (the
// waits run on a virtual clock here), the list refresh that ends an edit or a delete included; with
// 100,000 sites each within 2 times its 10,000-site figure plus the list refresh.

#include "bench/Sites.h"
#include "bench/WindowServices.h"
#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/files/FileSystem.h"
#include "emulation/metabase/MetabaseStore.h"
#include "tests/support/GridDriver.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <benchmark/benchmark.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// The window over a machine with many sites, started as the program starts.
struct Window : bench::WindowServices {
    std::unique_ptr<Form1> form;

    explicit Window(int sites) : WindowServices(*bench::SitesMachine::withSites(sites).machine) {
        installProgramFiles();
        form = makeForm();
        form->Form_Initialize();
        form->show();
    }

    void run(const QString& line) { machine.interpreter().RunHidden(u"cmd.exe /c "_s + line); }

    // Gives a listed site the account and folders that the program would have made for it.
    void makeReal(const QString& name) {
        run(u"MkDir D:\\WebRoot\\"_s + name + u"\\web"_s);
        run(u"net user "_s + name + u" Pw"_s + name + u" /add"_s);
        run(u"net localgroup velmorausers "_s + name + u" /add"_s);
    }

    int rowOf(const QString& name) const { return testing_support::rowOf(*form->MSFlexGrid1, name); }
    void click(int row, int col) { testing_support::clickCell(*form->MSFlexGrid1, row, col); }
};

// The list refresh that ends an edit or a delete, measured alone, to subtract from them.
void BM_RefreshSiteList(benchmark::State& state) {
    Window w(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        bench::writeBetweenReads(state, w.machine);
        w.form->RefreshSiteList();
    }
}

void BM_StateClick(benchmark::State& state) {
    const int sites = static_cast<int>(state.range(0));
    Window w(sites);
    const int row = w.rowOf(u"site"_s + QString::number(10000 + sites / 2));
    for (auto _ : state)
        w.click(row, 0); // started, paused, stopped, started again
    if (!w.dialogs.shown.empty())
        state.SkipWithError("a state change was refused");
}

void BM_EditSite(benchmark::State& state) {
    const int sites = static_cast<int>(state.range(0));
    Window w(sites);
    const QString name = u"site"_s + QString::number(10000 + sites / 2);
    w.makeReal(name);
    int round = 0;
    for (auto _ : state) {
        w.click(w.rowOf(name), 3);
        w.form->password->setText(u"Pw"_s + QString::number(++round));
        QTest::mouseClick(w.form->Command3, Qt::LeftButton);
    }
    if (w.dialogs.shown.empty() || w.dialogs.shown.back().prompt.contains(u"未完成"_s))
        state.SkipWithError("the edit did not succeed");
}

void BM_DeleteSite(benchmark::State& state) {
    const int sites = static_cast<int>(state.range(0));
    Window w(sites);
    int made = 0;
    for (auto _ : state) {
        // A new site to delete, made as the program makes it.
        state.PauseTiming();
        const QString name = u"gone"_s + QString::number(++made);
        {
            auto service = w.machine.metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
            auto site = service->Create(u"IIsWebServer"_s, QString::number(10000 + sites + made)).value();
            site->Put(u"ServerComment"_s, name);
            site->Put(u"ServerBindings"_s, platform::MetaValue(QStringList{u":80:"_s + name + u".com"_s}));
            site->Put(u"ServerState"_s, platform::MetaValue(2u));
            site->SetInfo();
            auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
            root->Put(u"Path"_s, u"D:\\WebRoot\\"_s + name + u"\\web"_s);
            root->Put(u"AnonymousUserName"_s, name);
            root->Put(u"AnonymousUserPass"_s, u"Pw"_s + name);
            root->SetInfo();
        }
        w.makeReal(name);
        w.form->RefreshSiteList();
        const int row = w.rowOf(name);
        state.ResumeTiming();
        w.click(row, 3);
        QTest::mouseClick(w.form->Command2, Qt::LeftButton);
    }
    if (w.dialogs.shown.empty() || w.dialogs.shown.back().prompt != u"网站 gone%1 删除成功!"_s.arg(made))
        state.SkipWithError("the delete did not succeed");
}

} // namespace

BENCHMARK(bench::RawMetabaseScan)
    ->Name("BM_RawMetabaseScan")
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshSiteList)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StateClick)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EditSite)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteSite)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return bench::runWindowBenchmarks(argc, argv);
}
