#pragma once

// A machine with many sites, made as the program makes them, for the benchmarks, and the
// baseline every site-reading benchmark is measured against: one plain SQLite query of the rows
// and columns the site list needs.

#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/MetabaseXml.h"
#include "emulation/metabase/SecureValue.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <map>
#include <memory>

namespace bench {

struct SitesMachine {
    QTemporaryDir dir;
    std::unique_ptr<emulation::machine::Machine> machine;

    // With $VELMORA_BENCH_FIXTURES set, the machines are kept in that folder (sites-N) and reused
    // by later runs: a machine with 100,000 sites takes a while to make.
    explicit SitesMachine(int sites) {
        const QString kept = qEnvironmentVariable("VELMORA_BENCH_FIXTURES");
        const QString folder = kept.isEmpty() ? dir.path() + QStringLiteral("/m")
                                              : kept + QStringLiteral("/sites-") + QString::number(sites);
        const QString complete = folder + QStringLiteral(".complete");
        if (!kept.isEmpty() && QFile::exists(complete)) {
            machine = emulation::machine::Machine::open(folder).value();
            return;
        }
        if (!kept.isEmpty())
            QDir(folder).removeRecursively();
        machine = emulation::machine::Machine::install(folder, {}).value();
        QByteArray xml = emulation::metabase::exportMetabaseXml(machine->db());
        QByteArray extra;
        // Secure values in MetaBase.xml are encrypted with the machine's own key.
        const QByteArray key = emulation::metabase::machineKey(machine->db());
        for (int i = 0; i < sites; ++i) {
            const QByteArray n = QByteArray::number(10000 + i);
            const QByteArray name = "site" + n;
            extra += "<IIsWebServer\tLocation =\"/LM/W3SVC/" + n + "\"\n\t\tServerBindings=\":80:www." +
                     name + ".com\n\t\t\t:80:" + name + ".com\"\n\t\tServerComment=\"" + name +
                     "\"\n\t\tServerState=\"2\"\n\t>\n</IIsWebServer>\n"
                     "<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/" +
                     n + "/ROOT\"\n\t\tAnonymousUserName=\"" + name + "\"\n\t\tAnonymousUserPass=\"" +
                     emulation::metabase::sealSecureValue(key, QString::fromLatin1("pw" + n)).toLatin1() +
                     "\"\n\t\tPath=\"D:\\WebRoot\\" + name + "\\web\"\n\t>\n</IIsWebVirtualDir>\n";
        }
        xml.replace("</MBProperty>", extra + "</MBProperty>");
        if (!emulation::metabase::importMetabaseXml(machine->db(), xml))
            std::abort();
        if (!kept.isEmpty()) {
            QFile mark(complete);
            if (!mark.open(QIODevice::WriteOnly))
                std::abort();
        }
    }

    // Machines are built once per size and kept for all runs of a benchmark.
    static SitesMachine& withSites(int sites) {
        static std::map<int, std::unique_ptr<SitesMachine>> made;
        auto& m = made[sites];
        if (!m)
            m = std::make_unique<SitesMachine>(sites);
        return *m;
    }
};

// A change of the metabase that the keys kept by the last read do not know of, between two
// measured reads (as another process's change, or a metabase import): the read goes to the
// database for every key, the slowest case of the list refresh that ends every operation.
inline void writeBetweenReads(benchmark::State& state, emulation::machine::Machine& machine) {
    state.PauseTiming();
    if (!machine.db().exec("UPDATE mb_keys SET props = props WHERE path = '/lm/w3svc'"))
        state.SkipWithError("machine.db took no write");
    state.ResumeTiming();
}

// The baseline: one SQLite query, on a connection of its own to machine.db, reading the rows the
// site list needs (every child of W3SVC and every child of those) with their class, name and
// property record.
inline void RawMetabaseScan(benchmark::State& state) {
    emulation::machine::Machine& m = *SitesMachine::withSites(static_cast<int>(state.range(0))).machine;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(m.folder() + QStringLiteral("/machine.db")).constData(), &db,
                        SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        state.SkipWithError("machine.db does not open");
        sqlite3_close(db);
        return;
    }
    sqlite3_stmt* st = nullptr;
    // The rows lie in creation order in the table: one pass over it, without a sort.
    sqlite3_prepare_v2(
        db,
        "SELECT cpath, name, keytype, props FROM mb_keys WHERE +parent IN "
        "(SELECT id FROM mb_keys WHERE parent = (SELECT id FROM mb_keys WHERE path = '/lm/w3svc') "
        "UNION SELECT id FROM mb_keys WHERE path = '/lm/w3svc')",
        -1, &st, nullptr);
    std::size_t bytes = 0;
    std::size_t rows = 0;
    for (auto _ : state) {
        rows = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            ++rows;
            for (int c = 0; c < 4; ++c) {
                benchmark::DoNotOptimize(sqlite3_column_text(st, c));
                bytes += static_cast<std::size_t>(sqlite3_column_bytes(st, c));
            }
        }
        sqlite3_reset(st);
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["rows"] = static_cast<double>(rows);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

} // namespace bench
