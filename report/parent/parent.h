// The parent's side: runs examining children until every compressor has its
// row, survives those that a compressor ends, explains from its driver file
// one that does not open, lists the other bitness's compressors, and prints
// the report.
#pragma once

#include "report/parent/options.h"

namespace selnary::report {

// The whole report, printed. Returns the exit status: 0, 3 where some
// compressor faulted or hung, 1 where no report could be made.
int report(const Options& options);

}  // namespace selnary::report
