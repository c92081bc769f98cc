#include "tests/support/FormHarness.h"

#include "settings/ReadIniValue.h"

#include <QFile>

using namespace Qt::Literals::StringLiterals;

namespace testing_support {

FormHarness::FormHarness(bool installProgram) : wiring(machine.machine()) {
    machine->setFact(u"addresses"_s, u"192.168.1.10"_s);
    machine->setFact(u"date"_s, u"2026-03-15"_s);
    if (installProgram) {
        machine.writeFile(u"C:\\WINDOWS\\system32\\drivers\\index.html"_s, "<html>默认首页</html>");
        machine.writeFile(u"C:\\WINDOWS\\system32\\drivers\\velmoraconv.exe"_s, "MZ");
    }
}

Form1& FormHarness::build() {
    form = std::make_unique<Form1>(wiring.services({dialogs, clock, end, shell}));
    return *form;
}

Form1& FormHarness::start() {
    build();
    form->Form_Initialize();
    if (!form->ended())
        form->show();
    return *form;
}

QByteArray FormHarness::settingsFile() const {
    return machine.readFile(settings::SettingsFile);
}

QStringList FormHarness::journal() const {
    QFile f(machine.folder() + u"/journal.log"_s);
    QStringList lines;
    if (!f.open(QIODevice::ReadOnly))
        return lines;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n'))
        if (!line.startsWith(u'\t') && line.count(u'\t') >= 2 && !line.endsWith(u"\tstarted"_s))
            lines << line.section(u'\t', 1, 1); // once a run: its outcome, not its start
    return lines;
}

QString FormHarness::row(int r) const {
    QStringList cells;
    for (int c = 0; c < form->MSFlexGrid1->Cols(); ++c)
        cells << form->MSFlexGrid1->TextMatrix(r, c);
    return cells.join(u'|');
}

} // namespace testing_support
