#pragma once

// The check's findings for the operator: one line each, or one JSON document.

#include "emulation/check/Check.h"
#include "emulation/check/Repair.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace emulation::check {

// "kind<TAB>site<TAB>object<TAB>problem<TAB>repair", the site as "10001 (name)" or "-".
QString findingLine(const Finding& finding);
// Every finding that remains after the repairs, with the repairs made (or tried) before them.
QByteArray toJson(const Result& remaining, const std::vector<Repaired>& repaired);

} // namespace emulation::check
