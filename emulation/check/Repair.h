#pragma once

// Mends what a check found, where that loses nothing: unused pools and FTP directories without a
// site go from the metabase, entries of deleted accounts go from the folders, the sites root is
// secured again, unused site accounts are disabled (never deleted), a missing pool becomes
// DefaultAppPool again and a site's own account takes the anonymous password the metabase holds.
// No folder and no file is ever deleted, and nothing outside the sites root and the metabase keys
// the findings name is touched. Each repair is one write and goes to the machine's journal: the
// folder and account repairs as the command lines that make them, run by the machine's command
// interpreter; the metabase repairs as a line of their own.

#include "emulation/check/Check.h"

#include <vector>

namespace emulation::check {

struct Repaired {
    Finding finding;
    bool ok = false;
    QString detail; // what failed, when it did
};

// Repairs every finding that can be repaired, in order; findings reported only are left out.
std::vector<Repaired> repair(machine::Machine& machine, const Result& found);

// Repairs, checks again, and repairs what the repairs uncovered (an FTP directory removed for
// want of a site leaves its account unused), until no finding that can be repaired remains or a
// round mends nothing. Appends every repair to repaired; returns the last check.
platform::Outcome<Result> repairAll(machine::Machine& machine, const Result& found,
                                    std::vector<Repaired>& repaired);

} // namespace emulation::check
