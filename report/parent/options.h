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

// The report, as a table or as JSON.
struct Options {
    bool json = false;
    int timeout = kDefaultTimeout;  // seconds one step of one compressor may take
    Input input;  // what every compressor is asked about
    std::string save;  // a folder for the pictures of what comes back (UTF-8), or none
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

struct Help {};

// What was wrong with the command line, said in a few words.
struct UsageError {
    std::string what;
};

using Command = std::variant<Options, Examine, Help, UsageError>;

Command parse_command_line(const std::vector<std::string>& arguments);

extern const char kUsage[];
extern const char kHelp[];

}  // namespace selnary::report
