#pragma once

#include "emulation/cmd/Interpreter.h"
#include "emulation/machine/Machine.h"

#include <gtest/gtest.h>

namespace testing_support {

// Runs one command line on a machine as the program does, returning exit status and output.
inline platform::CommandResult run(emulation::machine::Machine& machine, const QString& line) {
    auto result = machine.interpreter().RunHidden(line);
    if (!result) {
        ADD_FAILURE() << "not started: " << result.error().text.toStdString();
        return {-1, {}};
    }
    return result.value();
}

} // namespace testing_support
