// query.exe: the benchmark's baseline. Asks every installed video compressor
// what selnary-compressors.exe asks, round trips included, with the very same
// code, but in this one process: no child, no messages, no protection. The
// least a report of the same compressors can cost.

#include "report/child.h"

#include <cstdio>  // for std::printf

int main()
{
    using namespace selnary::report;
    const Installed installed = list_installed(nullptr);
    int takes = 0, worked = 0;
    for (std::size_t i = 0; i < installed.handlers.size(); ++i) {
        Steps steps(nullptr, static_cast<int>(i));
        Row row;
        examine_one(static_cast<int>(i), installed, Input{}, steps, row);
        takes += row.accepts;
        worked += row.round_trip && row.round_trip->figures;
    }
    std::printf("%zu installed, %d take the probe format, %d give it back\n",
                installed.handlers.size(), takes, worked);
    return 0;
}
