// query.exe: the benchmark's baseline. Asks every installed video compressor
// what selnary-compressors.exe asks, round trips included, with the very same
// code, but in this one process: no child, no messages, no protection. The
// least a report of the same compressors can cost, and what each of its
// answers should be.
//
//   query.exe [--format NAME | --formats] [--size WxH] [--json] [--skip CODE:FORMAT]...
//   query.exe --play FILE [--frames N]
//
// With --json it prints what the report's JSON would say; --skip leaves out
// a cell that the report found faulting or hanging, which would end or stop
// this process. With --play it plays the file as --play does, in this
// process: the same reading, the platform's pick and every decompressor's
// frames.

#include "report/child/child.h"
#include "report/parent/options.h"
#include "report/out/output.h"
#include "report/base/text.h"

#include <cstdio>  // for std::printf
#include <set>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    using namespace selnary::report;
    namespace text = selnary::text;
    std::vector<std::string> arguments;
    std::set<std::string> skipped;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--skip" && i + 1 < argc)
            skipped.insert(argv[++i]);
        else
            arguments.emplace_back(argv[i]);
    }
    const Command command = parse_command_line(arguments);
    const Options* options = std::get_if<Options>(&command);
    if (!options) {
        std::fputs("usage: query.exe [--format NAME | --formats] [--size WxH] [--json] "
                   "[--skip CODE:FORMAT]...\n"
                   "       query.exe --play FILE [--frames N]\n",
                   stderr);
        return 2;
    }
    if (!options->play.empty()) {
        const Playing played = play_here(options->play, options->frames);
        if (played.refused) {
            std::printf("not played: %s\n", played.refused->c_str());
            return 5;
        }
        int decoded = 0;
        for (const Player& player : played.players)
            decoded += player.decoded.has_value();
        std::printf("%zu installed, the pick %s decodes %d frames, %d others decode it\n",
                    played.players.size(), played.pick.says.c_str(),
                    played.pick.decoded ? played.pick.decoded->frames : 0, decoded);
        return 0;
    }
    const Installed installed = list_installed(nullptr);
    Report report;
    report.bits = static_cast<int>(sizeof(void*) * 8);
    report.input = options->input;
    report.probe = header_of(report.input);
    int takes = 0, worked = 0;
    for (std::size_t i = 0; i < installed.handlers.size(); ++i)
        for (int n = 0; n < options->input.formats(); ++n) {
            const Input input = options->input.nth(n);
            Row row;
            const std::string code = text::fourcc(installed.handlers[i]);
            if (skipped.count(code + ":" + std::string(input.format->name))) {
                row.index = static_cast<int>(i);
                row.code = code;
                row.problem = "skipped";
            } else {
                Steps steps(nullptr, static_cast<int>(i));
                examine_one(static_cast<int>(i), installed, input, steps, row);
            }
            takes += row.accepts;
            worked += row.round_trip && row.round_trip->figures;
            report.rows.push_back(row);
        }
    if (options->json) {
        const std::string text = options->input.every_format ? json_text(matrix_of(report))
                                                             : json_text(report);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    if (options->input.every_format)
        std::printf("%zu installed, %d cells of %d formats taken, %d give frames back\n",
                    installed.handlers.size(), takes, options->input.formats(), worked);
    else
        std::printf("%zu installed, %d take %s, %d give it back\n", installed.handlers.size(),
                    takes, options->input.named("the probe format").c_str(), worked);
    return 0;
}
