// selnary-compressors: which installed video compressors take the probe
// format, the uncompressed 256 x 256, 32-bit RGB frame selnary's chooser
// offers; why the others do not; and whether each one that does really
// compresses it and gives it back. This file reads the command line; the
// parent's side (parent.h) makes the report, the child's side (child.h)
// asks the compressors.

#include "report/child/child.h"
#include "report/out/console.h"
#include "report/parent/options.h"
#include "report/parent/parent.h"
#include "report/base/text.h"

#include <string>
#include <vector>

namespace {

using namespace selnary::report;

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

// Wide, so that a folder's name reaches us whatever the code page.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(selnary::text::utf8(argv[i]));
    return std::visit(Overloaded{
                          [](const Options& options) {
                              return options.play.empty() ? report(options) : play(options);
                          },
                          [](const Watch& child) { return play_child(child); },
                          [](const Examine& child) {
                              return examine(child.first, reinterpret_cast<HANDLE>(child.channel),
                                             child.input, child.save);
                          },
                          [](const Help&) {
                              write_out(std::string(kUsage) + "\n" + kHelp);
                              return 0;
                          },
                          [](const UsageError& error) {
                              write_error("selnary-compressors: " + error.what + "\n" + kUsage);
                              return 2;
                          },
                      },
                      parse_command_line(arguments));
}
