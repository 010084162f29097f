// selnary-compressors: which installed video compressors take the probe
// format. The parts: the examination a child process makes (examine.cpp),
// the parent that runs the children and survives them (main.cpp), and the
// table and JSON it prints (output.cpp).
#pragma once

#include <string>
#include <vector>

namespace selnary::report {

// One installed compressor, as far as it answered.
struct Row {
    int index = 0;  // its place in the platform's enumeration
    std::string code;  // the handler's four-character code
    std::string driver;  // the driver file, as registered
    std::string description;  // as the compressor describes itself
    enum class Outcome { answered, faulted, hung } outcome = Outcome::answered;
    std::string problem;  // what it did instead of answering, e.g. "faulted when opened"
    bool opens = false;  // opens for compression
    bool accepts = false;  // accepts the probe format as input
    bool proposes = false;  // gave the format it would compress it to
    std::string proposed_compression;
    int proposed_bits = 0;
    bool configure = false;
    bool about = false;
};

struct Report {
    int bits = 0;  // this program's bitness, whose compressors it examines
    std::vector<Row> rows;
};

// Child side: enumerates every compressor and examines those from FIRST on,
// writing one line per step to standard output. Returns the exit status.
int examine(int first);

// Writes TEXT to standard output as it is, unbuffered: a child's line must
// be in the pipe before its next step can fault.
void write_out(const std::string& text);

void print_table(const Report& report);
void print_json(const Report& report);

// The text of a compression code: BI_RGB and the like by name, a
// four-character code as its characters.
std::string compression_text(unsigned long code);

}  // namespace selnary::report
