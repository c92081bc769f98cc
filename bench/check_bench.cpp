// The consistency check on a machine whose every site has its folder (with the default page), its
// own account in velmorausers and its own pool, beside the raw metabase scan of the same machine.
// The goal: the check within 5 times the raw scan plus one listing of the sites root.

#include "Sites.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/check/Check.h"
#include "emulation/metabase/PropertyRecord.h"

#include <QDir>
#include <QElapsedTimer>

#include <fstream>
#include <string>

namespace {

using namespace Qt::Literals::StringLiterals;
using emulation::machine::Database;

// Peak resident memory of this process, in MB.
double peakMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// Lets the peak start again from the memory in use now (VmHWM falls to VmRSS), so that the peak
// after a check is the check's, not that of making a machine before it.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Adds to the shared sites machine what the window makes beside each site: the pool named like
// it, its account (member of velmorausers, with the password the metabase holds) and its folder
// tree with the default page. Written straight into the database and the drive: the fixture is
// what is measured against, not how it is made.
emulation::machine::Machine& checkedMachine(int sites) {
    emulation::machine::Machine& m = *bench::SitesMachine::withSites(sites).machine;
    Database& db = m.db();
    {
        auto st = db.prepare("SELECT count(*) FROM mb_keys WHERE keytype = 'IIsApplicationPool'");
        if (st.step() && st.number(0) > sites)
            return m; // a kept fixture has them already
    }
    m.accounts().addGroup(u"velmorausers"_s, QString());
    const QString groupSid = m.accounts().lookup(u"velmorausers"_s)->sid;
    const QString machineSid = m.accounts().machineSid();
    Database::Transaction tx(db);
    std::int64_t pools = 0;
    {
        auto st = db.prepare("SELECT id FROM mb_keys WHERE path = '/lm/w3svc/apppools'");
        if (st.step())
            pools = st.number(0);
    }
    const QString root = m.hostPath(u"D:\\WebRoot"_s);
    for (int i = 0; i < sites; ++i) {
        const QString n = QString::number(10000 + i);
        const QString name = u"site"_s + n;
        auto pool = db.prepare("INSERT INTO mb_keys(parent, path, cpath, name, keytype) VALUES (?1, ?2, ?3, "
                               "?4, 'IIsApplicationPool')");
        pool.bind(1, pools)
            .bind(2, u"/lm/w3svc/apppools/"_s + name)
            .bind(3, u"/LM/W3SVC/AppPools/"_s + name)
            .bind(4, name);
        pool.run();
        auto site = db.prepare("SELECT id, props FROM mb_keys WHERE path = ?1");
        site.bind(1, u"/lm/w3svc/"_s + n);
        if (!site.step())
            std::abort();
        auto props = emulation::metabase::PropertyRecord::decode(site.text(1));
        emulation::metabase::PropertyRecord::set(props, u"AppPoolId"_s, platform::MetaValue(name));
        auto update = db.prepare("UPDATE mb_keys SET props = ?2 WHERE id = ?1");
        update.bind(1, site.number(0)).bind(2, emulation::metabase::PropertyRecord::encode(props));
        update.run();
        const QString sid = machineSid + u'-' + QString::number(20000 + i);
        auto user = db.prepare("INSERT INTO principals(sid, name, domain, kind, flags, salt, hash) "
                               "VALUES (?1, ?2, 'VELMORA', 'user', 65600, 'salt', ?3)");
        user.bind(1, sid).bind(2, name).bind(3,
                                             emulation::AccountStore::hashPassword(u"salt"_s, u"pw"_s + n));
        user.run();
        auto member = db.prepare("INSERT INTO members(group_sid, member_sid) VALUES (?1, ?2)");
        member.bind(1, groupSid).bind(2, sid);
        member.run();
        QDir().mkpath(root + u'/' + name + u"/web"_s);
        QDir().mkpath(root + u'/' + name + u"/log"_s);
    }
    if (!tx.commit())
        std::abort();
    return m;
}

void BM_Check(benchmark::State& state) {
    emulation::machine::Machine& m = checkedMachine(static_cast<int>(state.range(0)));
    std::size_t findings = 0;
    resetPeak();
    for (auto _ : state) {
        auto r = emulation::check::run(m);
        if (!r) {
            state.SkipWithError("the check did not run");
            return;
        }
        findings = r.value().findings.size();
        benchmark::DoNotOptimize(findings);
    }
    state.counters["findings"] = static_cast<double>(findings);
    state.counters["peak_MB"] = peakMegabytes(); // the process's peak while it checked
}

// One listing of the sites root, the part of the check's goal beyond the raw scan.
void BM_ListSitesRoot(benchmark::State& state) {
    emulation::machine::Machine& m = checkedMachine(static_cast<int>(state.range(0)));
    const QString root = m.hostPath(u"D:\\WebRoot"_s);
    for (auto _ : state) {
        const QStringList names = QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        benchmark::DoNotOptimize(names.size());
    }
}

} // namespace

BENCHMARK(BM_ListSitesRoot)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Check)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
// After the check: the raw scan reads the machine the check read.
BENCHMARK(bench::RawMetabaseScan)
    ->Name("BM_RawMetabaseScan")
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
