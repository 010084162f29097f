#include "report/parent/options.h"

#include <cerrno>
#include <cstdlib>  // for std::strtoll, std::strtoull
#include <optional>

namespace selnary::report {
namespace {

// A whole decimal number from FIRST to LAST, or nothing.
bool whole(const std::string& text, long long first, long long last, long long& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return errno == 0 && value >= first && value <= last;
}

std::string format_names()
{
    std::string names;
    for (const PixelFormat& format : kFormats)
        names += (names.empty() ? "" : ", ") + std::string(format.name);
    return names;
}

// --format NAME or --size WxH at ARGUMENTS[I], into INPUT; what was wrong, if anything.
std::optional<std::string> input_option(const std::vector<std::string>& arguments, std::size_t& i,
                                        Input& input)
{
    const bool last = i + 1 == arguments.size();
    if (arguments[i] == "--format") {
        const PixelFormat* format = last ? nullptr : find_format(arguments[++i]);
        if (!format)
            return "--format takes one of " + format_names();
        input.format = format;
        return std::nullopt;
    }
    const std::string size = last ? "" : arguments[++i];
    const std::size_t by = size.find('x');
    long long width = 0, height = 0;
    if (by == std::string::npos || !whole(size.substr(0, by), 1, kMostSide, width) ||
        !whole(size.substr(by + 1), 1, kMostSide, height) || width * height > kMostPixels)
        return "--size takes WIDTHxHEIGHT, each 1 to 8192, at most 3840 x 2160 pixels in all";
    input.size = {static_cast<int>(width), static_cast<int>(height)};
    return std::nullopt;
}

}  // namespace

std::string child_arguments(const Input& input, const std::string& save)
{
    std::string arguments;
    if (!input.is_probe())
        arguments = (input.every_format ? " --formats"
                                        : " --format " + std::string(input.format->name)) +
            " --size " + std::to_string(input.size.width) + "x" + std::to_string(input.size.height);
    if (save.empty())
        return arguments;
    // A path holds no quote; backslashes before the closing one are doubled,
    // or they would escape it.
    const std::size_t last = save.find_last_not_of('\\') + 1;
    return arguments + " --save \"" + save + save.substr(last) + "\"";
}

const char kUsage[] =
    "usage: selnary-compressors.exe [--json] [--timeout SECONDS] [--format NAME | --formats]\n"
    "                               [--size WxH] [--save FOLDER]\n";

const char kHelp[] =
    "Which installed video compressors take selnary's probe format (256 x 256,\n"
    "32-bit uncompressed RGB), why the others do not, and whether each one that\n"
    "takes it really works: a short clip starting with the probe frame is\n"
    "compressed as a recorder would, decompressed in order and compared.\n"
    "Compressors installed for the other bitness are listed, never loaded.\n"
    "\n"
    "  --json               one JSON document instead of the table\n"
    "  --timeout SECONDS    how long one step of one compressor may take (10)\n"
    "  --format NAME        ask about this input format instead of the probe's:\n"
    "                       rgb24, rgb32, rgb555, rgb565, rgb8, yuy2, uyvy, yv12,\n"
    "                       i420, nv12 or rgb32-topdown\n"
    "  --formats            ask about every one of those formats: a matrix\n"
    "  --size WxH           at this frame size instead of 256x256\n"
    "  --save FOLDER        save pictures there: the source frame (source.bmp), the\n"
    "                       first frame each compressor gives back (CODE.bmp), for\n"
    "                       a lossy one its difference times 8 (CODE-difference.bmp),\n"
    "                       and the report as JSON (report.json); with --formats,\n"
    "                       each named by its format too (CODE-yuy2.bmp)\n"
    "  --help, /?           this text\n"
    "\n"
    "Each compressor is asked in a child process, so one that crashes or hangs\n"
    "costs its own row and nothing else.\n"
    "\n"
    "Exit status: 0 a complete report, every compressor answered; 3 a complete\n"
    "report, one or more faulted or hung (their rows say so); 2 usage; 1 no\n"
    "report could be made.\n";

Command parse_command_line(const std::vector<std::string>& arguments)
{
    if (!arguments.empty() && arguments[0] == "--examine") {
        const UsageError only_ours{"--examine is for the report's own examining process"};
        long long first = 0, channel = 0;
        if (arguments.size() < 3 || !whole(arguments[1], 0, 1 << 24, first) ||
            !whole(arguments[2], 1, 0x7FFFFFFF, channel))
            return only_ours;
        Examine child{static_cast<int>(first), static_cast<std::uintptr_t>(channel), {}, {}};
        std::size_t end = arguments.size();
        if (end >= 5 && arguments[end - 2] == "--save" && !arguments[end - 1].empty())
            child.save = arguments[end - 1], end -= 2;
        for (std::size_t i = 3; i < end; ++i) {
            if (arguments[i] == "--formats" && i == 3)
                child.input.every_format = true;
            else if ((arguments[i] != "--format" && arguments[i] != "--size") ||
                     input_option(arguments, i, child.input))
                return only_ours;
        }
        // Nothing more, or --format NAME --size WxH, or --formats --size WxH.
        if (end != 3 && end != (child.input.every_format ? 6u : 7u))
            return only_ours;
        return child;
    }
    Options options;
    bool chose_format = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h" || argument == "/?")
            return Help{};
        if (argument == "--json") {
            options.json = true;
        } else if (argument == "--timeout") {
            long long seconds = 0;
            if (i + 1 == arguments.size() || !whole(arguments[++i], 1, 3600, seconds))
                return UsageError{"--timeout takes whole seconds, 1 to 3600"};
            options.timeout = static_cast<int>(seconds);
        } else if (argument == "--format" || argument == "--size") {
            if (const std::optional<std::string> wrong = input_option(arguments, i, options.input))
                return UsageError{*wrong};
            chose_format = chose_format || argument == "--format";
        } else if (argument == "--formats") {
            options.input.every_format = true;
        } else if (argument == "--save") {
            if (i + 1 == arguments.size() || arguments[++i].empty())
                return UsageError{"--save takes a folder"};
            options.save = arguments[i];
        } else {
            return UsageError{"unknown option " + argument};
        }
    }
    if (options.input.every_format && chose_format)
        return UsageError{"--formats asks about every format: leave out --format"};
    return options;
}

}  // namespace selnary::report
