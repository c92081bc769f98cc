// velmora-machine: installs, inspects and operates an emulated Windows Server 2003 + IIS 6 machine.

#include "tools/velmora-machine/Subcommand.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return velmora_machine::runCommandLine(app.arguments().mid(1));
}
