// velmora-machine check: reports what drifted on the machine, and with --repair mends what can be
// mended without losing anything. Exit status 0: nothing found, or everything found repaired;
// 1: findings remain; 2: the check could not run.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/check/Check.h"
#include "emulation/check/Repair.h"
#include "emulation/check/Report.h"
#include "emulation/machine/Machine.h"

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

int runCheck(const Invocation& invocation) {
    namespace check = emulation::check;
    auto machine = invocation.openMachine();
    if (!machine) {
        print(stderr, machine.error().text + u'\n');
        return ExitUsage;
    }
    auto found = check::run(*machine.value());
    if (!found) {
        print(stderr, u"无法检查：%1\n"_s.arg(found.error().text));
        return ExitUsage;
    }
    std::vector<check::Repaired> repaired;
    if (invocation.isSet(u"repair"_s) && !found.value().findings.empty()) {
        // What remains is what a new check finds.
        found = check::repairAll(*machine.value(), found.value(), repaired);
        if (!found) {
            print(stderr, u"修复后无法再次检查：%1\n"_s.arg(found.error().text));
            return ExitUsage;
        }
    }
    const check::Result& remaining = found.value();
    if (invocation.isSet(u"json"_s)) {
        const QByteArray json = check::toJson(remaining, repaired);
        std::fwrite(json.constData(), 1, static_cast<size_t>(json.size()), stdout);
    } else {
        for (const check::Repaired& r : repaired)
            print(stdout, (r.ok ? u"已修复\t"_s : u"修复失败\t"_s) + check::findingLine(r.finding) +
                              (r.ok ? QString() : u"\t"_s + r.detail) + u'\n');
        for (const check::Finding& f : remaining.findings)
            print(stdout, check::findingLine(f) + u'\n');
        if (remaining.findings.empty())
            print(stdout, u"没有发现问题（主目录 %1）。\n"_s.arg(remaining.sitesRoot));
    }
    return remaining.findings.empty() ? ExitOk : ExitFailed;
}

} // namespace velmora_machine
