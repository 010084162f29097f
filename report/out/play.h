// What --play finds out about a person's AVI file: its first video stream,
// which installed decompressor the platform picks for it, and how each one
// that takes its format plays its first frames. The fields are listed for
// every reader and writer in fields.h, which documents them.
#pragma once

#include "report/out/row.h"

#include <optional>
#include <string>
#include <vector>

namespace selnary::report {

// The file's first video stream, as the platform's AVI library reads it.
struct Movie {
    std::string handler;  // the stream's fccHandler, as the file names its codec
    Format format;  // its BITMAPINFOHEADER's size, depth and compression
    std::string colours;  // "a palette of N colours", "masks R G B", or empty
    long long frames = 0;  // the stream's length
    double rate = 0;  // frames a second
    long long key_frames = 0;  // marked key frames, counted through the index
    std::string key_frame_list;  // the first of them, numbered from 1: "1, 31, 61"
    long long first_key = 0;  // where playing starts, numbered from 0
    std::string notes;  // what our own reader finds a player may trip on, "; " between
    bool operator==(const Movie&) const = default;
};

// How a decompressor's pictures at one RGB depth compare with those at its own.
struct Depth {
    int bit_count = 0;
    std::optional<double> psnr_db;  // the lowest frame's; none when the same
    std::optional<Looks> looks;  // how its first picture looks, where that is all that differs
    // Where its first picture has red and blue swapped: the lowest PSNR of
    // them all with the two put back; none where they are then the same.
    std::optional<double> swapped_back_db;
    std::optional<std::string> problem;  // it took the depth but failed with it
    bool operator==(const Depth&) const = default;
};

// The first frames decompressed in order, in one session.
struct Decoded {
    int output_bit_count = 0;  // its own depth, the one the others are compared with
    int frames = 0;  // decoded
    std::optional<int> failed_at;  // the first frame that did not decode, from 1
    std::optional<std::string> failure;  // what it answered there
    bool changes = false;  // the pictures differ from one another
    bool blank = false;  // every picture black
    int delay_frames = 0;  // frames sent before the first picture: it comes this much late
    std::optional<Depth> rgb24, rgb32;  // where they are not its own depth and it offers them
    // Against the platform's pick, where another decodes: its code, the
    // pictures' offset, the lowest PSNR (none when the same).
    std::optional<std::string> against;
    std::optional<int> offset_frames;
    std::optional<double> agreement_db;
    bool operator==(const Decoded&) const = default;
};

// One installed decompressor of this bitness.
struct Player {
    int index = 0;  // its place in the platform's enumeration
    std::string code;
    std::string driver;
    std::string description;
    Outcome outcome = Outcome::answered;
    std::optional<std::string> problem;
    std::optional<std::string> step;
    bool opens = false;  // opens to decompress
    bool takes = false;  // ICDecompressQuery said yes to the file's format
    std::optional<long long> query_result;
    bool picked = false;  // the one the platform picks
    std::optional<Reason> reason;
    std::optional<std::string> driver_path;
    std::optional<std::string> missing_dll;
    std::optional<Decoded> decoded;
    bool operator==(const Player&) const = default;
};

// What ICLocate, as players and scripts ask, gives for the file's format.
struct Pick {
    bool found = false;
    std::string says;  // the code it gives when asked (ICGetInfo)
    std::string description;  // as it describes itself
    std::string driver;  // its driver, as it says or as its registration has it
    // Its registration among the installed ones: by the driver it names, or
    // else the first that takes the format and describes itself as it does,
    // the file's own code first, as the platform searches.
    std::optional<int> index;
    std::optional<std::string> code;  // that registration's code
    Outcome outcome = Outcome::answered;
    std::optional<std::string> problem;
    std::optional<Decoded> decoded;
    bool operator==(const Pick&) const = default;
};

struct Play {
    int bits = 0;
    std::string file;  // as given
    Movie movie;
    Pick pick;
    std::vector<Player> players;
    std::vector<Foreign> foreign;  // of the other bitness, registered for its code
    Reason verdict;  // who plays it (plays) or why none does
};

std::string table_text(const Play& play);
std::string json_text(const Play& play);

}  // namespace selnary::report
