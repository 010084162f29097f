// What the report finds out, compressor by compressor. The fields are listed
// for every reader and writer in fields.h, which is also where they are
// documented.
#pragma once

#include "report/frames/clip.h"
#include "report/frames/formats.h"

#include <optional>
#include <string>
#include <vector>

namespace selnary::report {

// Why a compressor says no, or has no row: a stable code for scripts and a
// sentence for people.
struct Reason {
    std::string code;
    std::string text;
    bool operator==(const Reason&) const = default;
};

enum class Outcome { answered, faulted, hung };

struct Proposed {
    std::string compression;
    int bit_count = 0;
    bool operator==(const Proposed&) const = default;
};

// What compressing the clip showed, also where nothing here decompresses it.
struct Compressed {
    int calls = 0;  // a clip's compressing calls, the extra ones past its end included
    int calls_before_first_frame = 0;  // empty or skip frames before its first real one
    bool key_frame_marked = false;
    long long compressed_bytes = 0;  // the first real frame's, its key frame
    std::optional<double> delta_frame_bytes;  // none when every frame came out a key frame
    double ratio = 0;
    double ms_per_frame = 0;
    bool operator==(const Compressed&) const = default;
};

// The clip decompressed in order and compared with what went in.
struct Figures {
    std::string decompressor;
    int output_bit_count = 0;
    int frames = 0;
    int lag_frames = 0;  // its pictures came this many calls after their frames
    std::optional<double> psnr_db;  // the lowest over the clip; none when exact
    std::optional<Looks> looks;
    bool operator==(const Figures&) const = default;
};

// The clip compressed and given back, where it was tried.
struct RoundTrip {
    std::optional<long long> frames_info;  // what the frame count announced was answered
    std::optional<Compressed> compressed;  // none: compressing failed
    std::optional<Figures> figures;  // none: it failed, and the row's reason says why
    // Each frame's PSNR as it came back, lined up, where the pictures were
    // compared (also where they came back wrong); none for an exact one.
    std::vector<std::optional<double>> psnr_db_by_frame;
    bool operator==(const RoundTrip&) const = default;
};

// The clip's outputs saved as an AVI file (--save), as a recorder writes them.
struct Recording {
    std::string file;  // its name in the folder
    int frames = 0;  // written, one a call, held frames too
    int key_frames = 0;  // of them marked AVIIF_KEYFRAME
    std::optional<std::string> problem;  // why it is not whole, where it is not
    bool operator==(const Recording&) const = default;
};

// One installed compressor, as far as it answered.
struct Row {
    int index = 0;  // its place in the platform's enumeration
    std::string code;
    std::string driver;
    std::string description;
    Outcome outcome = Outcome::answered;
    std::optional<std::string> problem;
    std::optional<std::string> step;
    bool opens = false;
    bool accepts = false;
    std::optional<long long> query_result;
    std::optional<Proposed> proposed;
    bool configure = false;
    bool about = false;
    std::optional<Reason> reason;
    std::optional<std::string> driver_path;
    std::optional<std::string> missing_dll;
    std::optional<RoundTrip> round_trip;
    std::optional<Recording> recording;
    bool operator==(const Row&) const = default;
};

// A compressor registered only for programs of the other bitness. It is
// never loaded: it could not be, in this process.
struct Foreign {
    std::string code;
    std::string driver;
    int bits = 0;  // the programs it is installed for
    Reason reason;
    bool operator==(const Foreign&) const = default;
};

// The format every compressor is asked about.
struct Format {
    int width = 0;
    int height = 0;
    int bit_count = 0;
    std::string compression;
    bool operator==(const Format&) const = default;
};

struct Report {
    int bits = 0;  // this program's bitness, whose compressors it examines
    Input input;  // what they were asked about, the probe unless the command line chose
    Format probe;  // its header's fields
    std::vector<Row> rows;
    std::vector<Foreign> foreign;
};

// One compressor of the matrix: what describes it, and its cell for each
// format, each a row asked about that format alone.
struct MatrixRow {
    Row compressor;
    std::vector<Row> cells;  // kFormats, in order
};

// Every compressor asked about every format, at one size.
struct Matrix {
    int bits = 0;
    Size size;
    std::vector<MatrixRow> rows;
    std::vector<Foreign> foreign;
};

}  // namespace selnary::report
