// Procedures of the window that every subsystem uses: running a command, waiting, ending.

#include "platform/Accounts.h"
#include "platform/CommandRunner.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Pacing.h"
#include "window/CommandEffect.h"
#include "window/Form1.h"

platform::Outcome<platform::CommandResult> Form1::RunHidden(const QString& commandLine) {
    auto result = services.commands->RunHidden(commandLine);
    if (operation) {
        // Whether the command did its job is read from the machine, never from what it printed.
        const auto missing = window::MissingEffect(window::IntendedEffect(commandLine), result,
                                                   *services.files, *services.accounts);
        if (missing)
            operation->command(commandLine, *missing);
    }
    return result;
}

void Form1::Delay(int ms) {
    services.pacing->Delay(ms);
}

void Form1::EndProgram() {
    m_ended = true;
    services.end->End();
}
