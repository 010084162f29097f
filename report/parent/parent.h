// The parent's side: runs examining children until every compressor has its
// row, survives those that a compressor ends, explains from its driver file
// one that does not open, lists the other bitness's compressors, and prints
// the report.
#pragma once

#include "report/out/row.h"
#include "report/parent/options.h"

#include <set>
#include <string>
#include <vector>

namespace selnary::report {

// The whole report, printed. Returns the exit status: 0, 3 where some
// compressor faulted or hung, 1 where no report could be made.
int report(const Options& options);

// Video compressors registered in the other registry view only, for the
// programs of the other bitness, never loaded: all but those whose codes
// (in lower case) are in MINE.
std::vector<Foreign> other_bitness(const std::set<std::string>& mine);

// What --play finds out about the file OPTIONS.play, printed. Returns the
// exit status (kHelp lists them).
int play(const Options& options);

}  // namespace selnary::report
