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

// A path on a child's command line: it holds no quote; backslashes before
// the closing one are doubled, or they would escape it.
std::string quoted(const std::string& path)
{
    const std::size_t last = path.find_last_not_of('\\') + 1;
    return "\"" + path + path.substr(last) + "\"";
}

}  // namespace

std::string watch_arguments(int frames, bool reference, const std::string& file,
                            const std::string& save)
{
    return " " + std::to_string(frames) + (reference ? " 1 " : " 0 ") + quoted(file) +
        (save.empty() ? "" : " --save " + quoted(save));
}

std::string child_arguments(const Input& input, const std::string& save)
{
    std::string arguments;
    if (!input.is_probe())
        arguments = (input.every_format ? " --formats"
                                        : " --format " + std::string(input.format->name)) +
            " --size " + std::to_string(input.size.width) + "x" + std::to_string(input.size.height);
    return save.empty() ? arguments : arguments + " --save " + quoted(save);
}

const char kUsage[] =
    "usage: selnary-compressors.exe [--json] [--timeout SECONDS] [--format NAME | --formats]\n"
    "                               [--size WxH] [--save FOLDER]\n"
    "       selnary-compressors.exe --play FILE [--frames N] [--json] [--timeout SECONDS]\n"
    "                               [--save FOLDER]\n";

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
    "  --play FILE          which installed decompressor plays this AVI file, as\n"
    "                       players and scripts pick one, or why none does: its\n"
    "                       first video stream, each decompressor asked whether it\n"
    "                       takes its format, and each one that does decoding its\n"
    "                       first frames at each RGB depth it offers\n"
    "  --frames N           how many frames --play decodes (30; 1 to 1000)\n"
    "                       With --play, --save writes each one's first picture\n"
    "                       (CODE.bmp), its frames as decoded (CODE.avi) and the\n"
    "                       report (play.json).\n"
    "\n"
    "Each compressor is asked in a child process, so one that crashes or hangs\n"
    "costs its own row and nothing else; the file is read in one too.\n"
    "\n"
    "Exit status: 0 a complete report, every compressor answered (with --play:\n"
    "a decompressor plays the file); 3 a complete report, one or more faulted\n"
    "or hung (their rows say so); 2 usage; 1 no report could be made. With\n"
    "--play also: 4 nothing installed plays the file; 5 the file cannot be\n"
    "read as a video (one line says why).\n";

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
    if (!arguments.empty() && arguments[0] == "--play-child") {
        const UsageError only_ours{"--play-child is for the report's own playing process"};
        long long first = 0, channel = 0, frames = 0, reference = 0;
        const std::size_t count = arguments.size();
        if ((count != 6 && count != 8) || !whole(arguments[1], 0, 1 << 24, first) ||
            !whole(arguments[2], 1, 0x7FFFFFFF, channel) ||
            !whole(arguments[3], 1, kMostFrames, frames) || !whole(arguments[4], 0, 1, reference) ||
            arguments[5].empty() ||
            (count == 8 && (arguments[6] != "--save" || arguments[7].empty())))
            return only_ours;
        return Watch{static_cast<int>(first),
                     static_cast<std::uintptr_t>(channel),
                     static_cast<int>(frames),
                     reference == 1,
                     arguments[5],
                     count == 8 ? arguments[7] : std::string()};
    }
    Options options;
    bool chose_format = false, chose_frames = false;
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
        } else if (argument == "--play") {
            if (i + 1 == arguments.size() || arguments[++i].empty())
                return UsageError{"--play takes an AVI file"};
            options.play = arguments[i];
        } else if (argument == "--frames") {
            long long frames = 0;
            if (i + 1 == arguments.size() || !whole(arguments[++i], 1, kMostFrames, frames))
                return UsageError{"--frames takes a whole number, 1 to 1000"};
            options.frames = static_cast<int>(frames);
            chose_frames = true;
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
    if (!options.play.empty() && !(options.input.is_probe()))
        return UsageError{"--play asks about the file's own format: leave out --format, "
                          "--formats and --size"};
    if (options.play.empty() && chose_frames)
        return UsageError{"--frames is for --play"};
    return options;
}

}  // namespace selnary::report
