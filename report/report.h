// selnary-compressors: which installed video compressors take the probe
// format, why the others do not, and whether the ones that do really
// compress it. The parts: the examination a child process makes
// (examine.cpp, with the round trip in roundtrip.cpp and the look at a
// driver that will not open in driver.cpp), the messages between child and
// parent (protocol.cpp), the parent that runs the children and survives them
// (main.cpp), and the table and JSON it prints (output.cpp).
#pragma once

#include <string>
#include <vector>

namespace selnary::report {

// Why a compressor says no, or why it has no row: a stable code for scripts
// and a sentence for people. An empty code means there is nothing to explain.
struct Reason {
    std::string code;
    std::string text;
};

// Compressing the probe frame and getting it back.
struct RoundTrip {
    bool tried = false;  // it took the probe and proposed a format
    bool worked = false;  // compressed and decompressed; the figures below hold
    std::string decompressor;  // the handler that decompressed it (its own code or another's)
    int output_bits = 0;  // 32, or 24 where that was all it would give back
    long long compressed_bytes = 0;
    bool exact = false;  // every colour byte came back as it went in
    double psnr_db = 0;  // when not exact
    std::string looks;  // when not exact but simply rearranged, e.g. "upside down"
    double ms_per_frame = 0;  // compressing one frame, the best of a few
};

// One installed compressor, as far as it answered.
struct Row {
    int index = 0;  // its place in the platform's enumeration
    std::string code;  // the handler's four-character code
    std::string driver;  // the driver file, as registered
    std::string description;  // as the compressor describes itself
    enum class Outcome { answered, faulted, hung } outcome = Outcome::answered;
    std::string problem;  // what it did instead of answering, e.g. "faulted when opened"
    std::string step;  // the step it faulted or hung at, e.g. "open"
    bool opens = false;  // opens for compression
    bool accepts = false;  // accepts the probe format as input
    bool queried = false;  // was asked about the probe; query_result holds the answer
    long long query_result = 0;
    bool proposes = false;  // gave the format it would compress it to
    std::string proposed_compression;
    int proposed_bits = 0;
    bool configure = false;
    bool about = false;
    std::string driver_path;  // where the driver file was found, when it was looked for
    std::string missing_dll;  // the first DLL it needs that cannot be found
    Reason reason;  // why the first "no" of this row, or why its round trip failed
    RoundTrip round_trip;
};

// A compressor registered only for programs of the other bitness. It is
// never loaded: it could not be, in this process.
struct Foreign {
    std::string code;
    std::string driver;
    int bits = 0;  // the programs it is installed for
    Reason reason;
};

struct Report {
    int bits = 0;  // this program's bitness, whose compressors it examines
    std::vector<Row> rows;
    std::vector<Foreign> foreign;
};

// What the driver file of a compressor that does not open says about why:
// an empty reason where the file looks sound (the driver itself refused).
struct DriverLook {
    Reason reason;
    std::string path;  // where the platform finds the file, if it does
    std::string missing_dll;
};
// It only reads files, and runs where no compressor was loaded: one that
// was unloaded may leave the platform's loader unusable in that process.
DriverLook look_at_driver(const std::wstring& driver, bool follow_imports = true);

// Child side: enumerates every compressor and examines those from FIRST on,
// telling the parent on CHANNEL. Returns the exit status.
int examine(int first, void* channel);

// Compressors registered in the other registry view only, never loaded.
// KNOWN are the codes this program's own view has.
std::vector<Foreign> other_bitness(const std::vector<std::string>& known);

std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& utf8);
std::string lower_ascii(std::string text);

// Writes UTF-8 TEXT to standard output (or error): as characters to a
// console, whatever its code page, and as bytes anywhere else.
void write_out(const std::string& text);
void write_error(const std::string& text);

void print_table(const Report& report);
void print_json(const Report& report);

// The text of a compression code: BI_RGB and the like by name, a
// four-character code as its characters.
std::string compression_text(unsigned long code);

// An ICERR_ value by name (ICERR_BADFORMAT), or as its number.
std::string icerr_text(long long value);

}  // namespace selnary::report
