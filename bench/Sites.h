#pragma once

// A machine with many sites, made as the program makes them, for the benchmarks.

#include "emulation/Machine.h"
#include "emulation/MetabaseXml.h"
#include "emulation/SecureValue.h"

#include <QTemporaryDir>

#include <cstdlib>
#include <map>
#include <memory>

namespace bench {

struct SitesMachine {
    QTemporaryDir dir;
    std::unique_ptr<emulation::Machine> machine;

    explicit SitesMachine(int sites) {
        machine = emulation::Machine::install(dir.path() + QStringLiteral("/m"), {}).value();
        QByteArray xml = emulation::exportMetabaseXml(machine->db());
        QByteArray extra;
        // Secure values in MetaBase.xml are encrypted with the machine's own key.
        const QByteArray key = emulation::machineKey(machine->db());
        for (int i = 0; i < sites; ++i) {
            const QByteArray n = QByteArray::number(10000 + i);
            const QByteArray name = "site" + n;
            extra += "<IIsWebServer\tLocation =\"/LM/W3SVC/" + n + "\"\n\t\tServerBindings=\":80:www." +
                     name + ".com\n\t\t\t:80:" + name + ".com\"\n\t\tServerComment=\"" + name +
                     "\"\n\t\tServerState=\"2\"\n\t>\n</IIsWebServer>\n"
                     "<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/" +
                     n + "/ROOT\"\n\t\tAnonymousUserName=\"" + name + "\"\n\t\tAnonymousUserPass=\"" +
                     emulation::sealSecureValue(key, QString::fromLatin1("pw" + n)).toLatin1() +
                     "\"\n\t\tPath=\"D:\\WebRoot\\" + name + "\\web\"\n\t>\n</IIsWebVirtualDir>\n";
        }
        xml.replace("</MBProperty>", extra + "</MBProperty>");
        if (!emulation::importMetabaseXml(machine->db(), xml))
            std::abort();
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

} // namespace bench
