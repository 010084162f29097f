// What the command line asks for.
#pragma once

#include "report/frames/formats.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace selnary::report {

inline constexpr int kDefaultTimeout = 10;

// A frame may hold no more pixels than this (3840 x 2160), each side no more than kMostSide.
inline constexpr long long kMostPixels = 3840ll * 2160, kMostSide = 8192;

// --play decodes this many frames unless --frames says, at most kMostFrames.
inline constexpr int kDefaultFrames = 30, kMostFrames = 1000;

// The report, as a table or as JSON.
struct Options {
    bool json = false;
    int timeout = kDefaultTimeout;  // seconds one step of one compressor may take
    Input input;  // what every compressor is asked about
    std::string save;  // a folder for the pictures of what comes back (UTF-8), or none
    std::string play;  // a person's AVI file to play instead (UTF-8), or none
    int frames = kDefaultFrames;  // how many of its frames to decode
};

// The examining child, which the report starts as --examine FIRST CHANNEL,
// followed by --format NAME --size WxH (or --formats --size WxH) where it
// asks about another input than the probe, and by --save FOLDER, a full
// path, where it saves pictures.
struct Examine {
    int first = 0;
    std::uintptr_t channel = 0;
    Input input;
    std::string save;
};

// The arguments that name INPUT and the folder SAVE to a child, quoted for
// its command line: none for the probe and no folder.
std::string child_arguments(const Input& input, const std::string& save);

// The playing child, which --play starts as --play-child FIRST CHANNEL
// FRAMES REFERENCE "FILE", followed by --save "FOLDER" where it saves
// pictures. FIRST is the unit of work it goes on from: 0 the platform's
// pick, N + 1 decompressor N. REFERENCE 1: decode with the pick first, to
// compare the others with, where the pick is not its own first unit.
struct Watch {
    int first = 0;
    std::uintptr_t channel = 0;
    int frames = kDefaultFrames;
    bool reference = false;
    std::string file;
    std::string save;
};

// The arguments after --play-child FIRST CHANNEL, quoted for its command line.
std::string watch_arguments(int frames, bool reference, const std::string& file,
                            const std::string& save);

struct Help {};

// What was wrong with the command line, said in a few words.
struct UsageError {
    std::string what;
};

using Command = std::variant<Options, Examine, Watch, Help, UsageError>;

Command parse_command_line(const std::vector<std::string>& arguments);

extern const char kUsage[];
extern const char kHelp[];

}  // namespace selnary::report
