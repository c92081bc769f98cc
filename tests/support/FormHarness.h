#pragma once

#include "app/Wiring.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempMachine.h"
#include "tests/support/VirtualClock.h"
#include "window/Form1.h"

#include <memory>

namespace testing_support {

// The real window over a real machine in a temporary folder, with scripted message boxes,
// a recorded program end and a virtual clock.
class FormHarness {
public:
    explicit FormHarness(bool installProgram = true);

    // Builds the window (after the test has prepared the machine) and runs start-up.
    Form1& start();
    // Builds the window without running start-up.
    Form1& build();

    TempMachine machine;
    ScriptedDialogs dialogs;
    RecordedEnd end;
    RecordedShell shell;
    VirtualClock clock;
    app::MachineServices wiring;
    std::unique_ptr<Form1> form;

    // The settings file as it is on the machine's drive.
    QByteArray settingsFile() const;
    // Command lines run on the machine, in order, read back from its journal (passwords masked).
    QStringList journal() const;
    // Grid cells of one row, "|"-joined.
    QString row(int r) const;
};

} // namespace testing_support
