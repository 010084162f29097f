// What the command line asks for.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace selnary::report {

inline constexpr int kDefaultTimeout = 10;

// The report, as a table or as JSON.
struct Options {
    bool json = false;
    int timeout = kDefaultTimeout;  // seconds one step of one compressor may take
};

// The examining child, which the report starts as --examine FIRST CHANNEL.
struct Examine {
    int first = 0;
    std::uintptr_t channel = 0;
};

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
