#include "emulation/programs/Programs.h"

#include "emulation/programs/cacls/Cacls.h"
#include "emulation/programs/icacls/Icacls.h"
#include "emulation/programs/iisreset/IisReset.h"
#include "emulation/programs/net/Net.h"
#include "emulation/programs/velmoraconv/Velmoraconv.h"

#include <map>

namespace emulation::programs {

using namespace Qt::Literals::StringLiterals;

const ProgramMain* programNamed(const QString& fileName) {
    static const std::map<QString, ProgramMain> table = {
        {u"net.exe"_s, net_main},           {u"net1.exe"_s, net_main},
        {u"cacls.exe"_s, cacls_main},       {u"icacls.exe"_s, icacls_main},
        {u"iisreset.exe"_s, iisreset_main}, {u"velmoraconv.exe"_s, velmoraconv_main},
    };
    const auto it = table.find(fileName);
    return it == table.end() ? nullptr : &it->second;
}

} // namespace emulation::programs
