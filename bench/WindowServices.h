#pragma once

// The real window of a benchmark over a machine: scripted message boxes, a recorded program end,
// a virtual clock (the fixed waits are counted, not slept) and the settings file on the machine's
// drive, wired as the program wires its platform.

#include "app/Wiring.h"
#include "emulation/machine/Machine.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/VirtualClock.h"
#include "window/Form1.h"

#include <QApplication>
#include <QFile>

#include <benchmark/benchmark.h>

#include <memory>

namespace bench {

struct WindowServices {
    emulation::machine::Machine& machine;
    testing_support::ScriptedDialogs dialogs;
    testing_support::RecordedEnd end;
    testing_support::RecordedShell shell;
    testing_support::VirtualClock clock;
    app::MachineServices wiring;

    explicit WindowServices(emulation::machine::Machine& m) : machine(m), wiring(m) {}

    std::unique_ptr<Form1> makeForm() {
        return std::make_unique<Form1>(wiring.services({dialogs, clock, end, shell}));
    }

    // The program's own files in the drivers folder, which start-up asks for.
    void installProgramFiles() {
        for (const char* file : {"index.html", "velmoraconv.exe"}) {
            QFile f(machine.hostPath(QStringLiteral("C:\\WINDOWS\\system32\\drivers\\") +
                                     QString::fromLatin1(file)));
            if (f.open(QIODevice::WriteOnly))
                f.write("x");
        }
    }
};

// The main of a window benchmark: Qt's offscreen platform, then the benchmarks.
inline int runWindowBenchmarks(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace bench
