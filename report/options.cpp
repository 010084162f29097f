#include "report/options.h"

#include <cerrno>
#include <cstdlib>  // for std::strtoll, std::strtoull

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

}  // namespace

const char kUsage[] = "usage: selnary-compressors.exe [--json] [--timeout SECONDS]\n";

const char kHelp[] = "Which installed video compressors take selnary's probe format (256 x 256,\n"
                     "32-bit uncompressed RGB), why the others do not, and whether each one that\n"
                     "takes it really works: a short clip starting with the probe frame is\n"
                     "compressed as a recorder would, decompressed in order and compared.\n"
                     "Compressors installed for the other bitness are listed, never loaded.\n"
                     "\n"
                     "  --json               one JSON document instead of the table\n"
                     "  --timeout SECONDS    how long one step of one compressor may take (10)\n"
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
        long long first = 0, channel = 0;
        if (arguments.size() != 3 || !whole(arguments[1], 0, 1 << 20, first) ||
            !whole(arguments[2], 1, 0x7FFFFFFF, channel))
            return UsageError{"--examine is for the report's own examining process"};
        return Examine{static_cast<int>(first), static_cast<std::uintptr_t>(channel)};
    }
    Options options;
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
        } else {
            return UsageError{"unknown option " + argument};
        }
    }
    return options;
}

}  // namespace selnary::report
