// Velmora: opens the machine, wires the platform and shows the window.

#include "app/Wiring.h"
#include "emulation/machine/Machine.h"
#include "platform/EventLoopPacing.h"
#include "platform/qt/ChineseTranslations.h"
#include "platform/qt/DesktopShell.h"
#include "platform/qt/MessageBoxDialogs.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

using namespace Qt::Literals::StringLiterals;

namespace {

// The window's fonts, SimSun and FangSong_GB2312, come from the fontconfig file that the build
// puts beside the program, unless the environment names another.
void useProgramFonts() {
    if (std::getenv("FONTCONFIG_FILE"))
        return;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return;
    const auto conf = exe.parent_path() / "fonts.conf";
    if (std::filesystem::exists(conf, ec))
        setenv("FONTCONFIG_FILE", conf.c_str(), 0);
}

} // namespace

int main(int argc, char** argv) {
    useProgramFonts();
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Velmora"_s);
    QApplication::setWindowIcon(QIcon(u":/velmora/velmora.xpm"_s));
    if (!platform::LoadChineseTranslations(app))
        std::fprintf(stderr,
                     "velmora: Qt's Chinese translations (qtbase_zh_CN, package qt6-translations-l10n) "
                     "are not installed; Qt's own texts stay English.\n");

    platform::MessageBoxDialogs dialogs;
    platform::ProcessEnd end;
    platform::DesktopShell shell;
    auto machine = emulation::machine::Machine::open(emulation::machine::Machine::defaultFolder());
    if (!machine) {
        dialogs.MsgBox(machine.error().text, platform::msgbox::Critical, u"错误信息"_s);
        return 1;
    }
    dialogs.setDrivesFolder(machine.value()->drivesFolder());
    platform::EventLoopPacing pacing;
    app::MachineServices wiring(*machine.value());
    Form1 form(wiring.services({dialogs, pacing, end, shell}));
    dialogs.setParent(&form);
    // Start-up runs once, before the window is shown; a refused start ends the program there.
    form.Form_Initialize();
    if (form.ended())
        return 0;
    form.show();
    return app.exec();
}
