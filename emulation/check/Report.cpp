#include "emulation/check/Report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace emulation::check {

using namespace Qt::Literals::StringLiterals;

namespace {

QJsonObject findingObject(const Finding& f) {
    return QJsonObject{{u"kind"_s, kindName(f.kind)}, {u"site"_s, f.site},
                       {u"siteName"_s, f.name},       {u"object"_s, f.object},
                       {u"problem"_s, f.problem},     {u"repairable"_s, f.repair != Repair::None},
                       {u"repair"_s, repairText(f)}};
}

} // namespace

QString findingLine(const Finding& f) {
    QString site = u"-"_s;
    if (!f.site.isEmpty())
        site = f.site + u" ("_s + f.name + u')';
    else if (!f.name.isEmpty())
        site = f.name;
    return kindName(f.kind) + u'\t' + site + u'\t' + f.object + u'\t' + f.problem + u"\t修复："_s +
           repairText(f);
}

QByteArray toJson(const Result& remaining, const std::vector<Repaired>& repaired) {
    QJsonArray findings;
    for (const Finding& f : remaining.findings)
        findings.append(findingObject(f));
    QJsonArray done;
    for (const Repaired& r : repaired) {
        QJsonObject o = findingObject(r.finding);
        o[u"repaired"_s] = r.ok;
        if (!r.ok)
            o[u"error"_s] = r.detail;
        done.append(o);
    }
    QJsonObject doc{{u"sitesRoot"_s, remaining.sitesRoot}, {u"findings"_s, findings}};
    doc[u"repairs"_s] = done;
    return QJsonDocument(doc).toJson(QJsonDocument::Indented);
}

} // namespace emulation::check
