// --play, the parent's side: the path checked, the file's structure walked
// by our own reader (it only reads), then playing children run until every
// decompressor has its row, as the report runs examining ones; and the one
// answer a person wants: who plays the file, or why none does.

#include "report/parent/parent.h"

#include "platform/platform.h"
#include "report/base/owned.h"
#include "report/base/text.h"
#include "report/frames/pictures.h"
#include "report/frames/riff.h"
#include "report/out/console.h"
#include "report/out/play.h"
#include "report/out/protocol.h"
#include "report/parent/driver.h"
#include "report/parent/process.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace selnary::report {
namespace {

// The exit statuses --play adds to the report's (kHelp lists them all).
constexpr int kNonePlays = 4, kUnreadable = 5;

// Why PATH is no file to play, or none; its structure into SHAPE.
std::optional<std::string> look_at_file(const std::string& path, AviShape& shape)
{
    const std::wstring wide = text::wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH)
            return std::string("no such file");
        return "it cannot be read (error " + std::to_string(error) + ")";
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return std::string("it is a folder, not a file");
    const Handle file = own(CreateFileW(wide.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER length{};
    if (!file || !GetFileSizeEx(file.get(), &length))
        return "it cannot be opened (error " + std::to_string(GetLastError()) + ")";
    if (length.QuadPart == 0)
        return std::string("the file is empty");
    shape = walk_avi(static_cast<std::uint64_t>(length.QuadPart),
                     [&](std::uint64_t offset, std::size_t size, unsigned char* out) {
                         LARGE_INTEGER at;
                         at.QuadPart = static_cast<LONGLONG>(offset);
                         DWORD got = 0;
                         return SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) &&
                             ReadFile(file.get(), out, static_cast<DWORD>(size), &got, nullptr) &&
                             got == size;
                     });
    return std::nullopt;
}

// What the playing children said.
struct Heard {
    std::optional<std::string> refused;  // the file is not read
    bool refused_by_platform = false;  // by the platform's reader, not as more than we play
    std::optional<Ending> reader_ended;  // it faulted or hung reading it
    bool read = false;
    Movie movie;
    std::vector<Player> players;
};

// Runs playing children until the pick and every decompressor have their
// rows, into PLAY and HEARD. Returns 1 and says why on standard error when
// no report can be made.
int collect(const Options& options, const std::string& save, Play& play, Heard& heard)
{
    const ULONGLONG limit = static_cast<ULONGLONG>(options.timeout) * 1000;
    ULONGLONG own_work = 1;  // limits between two calls, once the frame's size is known
    int count = -1, next = 0;  // units of work: the pick, then each decompressor
    bool reference = true;  // the pick's pictures can be had again to compare with
    while (count < 0 || next < count) {
        Child child;
        if (const DWORD error = child.start(
                L"--play-child", next,
                watch_arguments(options.frames, reference && next > 0, options.play, save))) {
            write_error("selnary-compressors: cannot start the playing process (error " +
                        std::to_string(error) + ")\n");
            return 1;
        }
        const int started_at = next;
        Progress progress(limit);  // of the unit being played: -1 reading the file
        progress.set_own_work(own_work);
        std::string line;
        Child::Read read;
        while ((read = child.next(line, progress.deadline())) == Child::Read::line) {
            const std::optional<protocol::Message> message = protocol::decode(line);
            if (!message || progress.hear(*message, -1, std::max(count, 0)))
                continue;
            const std::string& kind = message->kind;
            if (kind == "refused") {
                heard.refused = message->text("why").value_or("");
                heard.refused_by_platform = message->number("platform").value_or(1) == 1;
                return 0;
            } else if (kind == "movie" && !heard.read) {
                heard.read = protocol::read_movie(*message, heard.movie);
                // Converting and comparing grow with the frame and the frames.
                const long long pixels = static_cast<long long>(heard.movie.format.width) *
                    std::abs(heard.movie.format.height);
                own_work = static_cast<ULONGLONG>(std::max<long long>(1, (pixels + 65535) / 65536) *
                                                  std::max(1, (options.frames + 7) / 8));
                progress.set_own_work(own_work);
            } else if (kind == "entry" && count < 0) {
                Row row;
                if (protocol::read_entry(*message, row) &&
                    row.index == static_cast<int>(heard.players.size())) {
                    Player& player = heard.players.emplace_back();
                    player.index = row.index;
                    player.code = row.code;
                    player.driver = row.driver;
                }
            } else if (kind == "count" && count < 0) {
                count = static_cast<int>(heard.players.size()) + 1;
                progress.moved_on();
            } else if (kind == "pick" && next == 0) {
                if (!protocol::read_pick(*message, play.pick)) {
                    write_error("selnary-compressors: the playing process sent a pick that "
                                "cannot be read: " +
                                line + "\n");
                    return 1;
                }
                next = 1;
                progress.done();
            } else if (kind == "player" && count > 0) {
                Player player;
                if (!protocol::read_player(*message, player) || player.index < 0 ||
                    player.index + 1 >= count ||
                    player.code != heard.players[static_cast<std::size_t>(player.index)].code) {
                    write_error("selnary-compressors: the playing process sent a row that "
                                "cannot be read: " +
                                line + "\n");
                    return 1;
                }
                if (player.index + 1 >= next) {
                    next = player.index + 2;
                    heard.players[static_cast<std::size_t>(player.index)] = player;
                }
                progress.done();
                if (next == count)
                    break;
            } else if (kind == "failed") {
                write_error("selnary-compressors: playing failed: " +
                            message->text("why").value_or("") + "\n");
                return 1;
            }
        }
        const Child::Finished finished = child.finish(read);
        const int current = progress.unit().value_or(-2);
        if (current == -1) {
            heard.reader_ended = progress.ended(finished, options.timeout);
            return 0;
        }
        if (current == 0 && next == 0) {
            const Ending ended = progress.ended(finished, options.timeout);
            play.pick.outcome = ended.outcome;
            play.pick.problem = ended.reason.text;
            next = 1;
            reference = false;
        } else if (current == 0) {
            // The pick played again to compare with, and this time it failed.
            reference = false;
        } else if (current > 0 && current >= next) {
            blame(heard.players[static_cast<std::size_t>(current - 1)],
                  progress.ended(finished, options.timeout), progress.step());
            next = current + 1;
        } else if (count < 0 || next == started_at) {
            write_error(
                std::string("selnary-compressors: the playing process ") +
                (read == Child::Read::timed_out ? "did not answer in time" : "ended early") +
                " (status " + text::hex(finished.status) + ")\n");
            return 1;
        }
    }
    return 0;
}

// What ENDED says, after a subject: "hung: no answer in 10 s ...", "faulted ...".
std::string said_as_hung(const Ending& ended)
{
    return (ended.outcome == Outcome::hung ? "hung: " : "") + ended.reason.text;
}

bool same_code(const std::string& a, const std::string& b)
{
    return text::lower_ascii(a) == text::lower_ascii(b);
}

// How a sentence names a decompressor: its code and driver file.
std::string named(const std::string& code, const std::string& driver)
{
    return code + " (" + driver + ")";
}

// The pick's registration where it does not name its driver: the first
// that takes the format and describes itself as the pick does, the one
// registered under the file's own code first, as the platform searches.
void find_pick(Play& play)
{
    Pick& pick = play.pick;
    if (!pick.found || pick.index)
        return;
    std::optional<int> found;
    for (const Player& player : play.players) {
        if (!player.takes || player.description != pick.description)
            continue;
        if (!found || same_code(player.code, play.movie.handler))
            found = player.index;
        if (same_code(player.code, play.movie.handler))
            break;
    }
    if (!found)
        return;
    Player& picked = play.players[static_cast<std::size_t>(*found)];
    pick.index = found;
    pick.code = picked.code;
    pick.driver = picked.driver;
    picked.picked = true;
    // Played as itself, against itself: nothing to compare.
    if (picked.decoded) {
        picked.decoded->against.reset();
        picked.decoded->offset_frames.reset();
        picked.decoded->agreement_db.reset();
    }
}

// Who plays the file, or why none does.
Reason verdict(const Play& play)
{
    const Movie& movie = play.movie;
    const Pick& pick = play.pick;
    const std::string format = movie.format.compression + " at " +
        std::to_string(movie.format.bit_count) + " bits";
    const std::string bits = std::to_string(play.bits) + "-bit programs";
    if (pick.outcome != Outcome::answered)
        return {pick.outcome == Outcome::hung ? "pick_hung" : "pick_faulted",
                "the platform's search for its decompressor " +
                    said_as_hung({pick.outcome, {"", pick.problem.value_or("failed")}}) +
                    ": players that search so fail on this file too"};
    if (movie.format.compression == "BI_RGB" || movie.format.compression == "BI_BITFIELDS")
        return {"uncompressed",
                "it is uncompressed (" + format + "): players show it without a decompressor"};
    if (pick.found) {
        const std::string who = named(pick.code.value_or(pick.says), pick.driver);
        std::string said = " (the platform picks it for " + movie.format.compression;
        if (pick.code && !same_code(*pick.code, pick.says))
            said += "; it says " + pick.says + " when asked, and is registered as " + *pick.code;
        said += ")";
        const Decoded& got = pick.decoded.value_or(Decoded{});
        if (got.failed_at)
            return {"pick_fails",
                    "the platform picks " + who + said + ", but it fails at frame " +
                        std::to_string(*got.failed_at) + ": " + got.failure.value_or("")};
        std::string text = who + " plays it" + said;
        if (got.blank)
            text += ", but its pictures are black throughout";
        else if (!got.changes && got.frames > 1)
            text += ", but it shows the same picture throughout";
        if (got.delay_frames)
            text += "; its pictures come out " + std::to_string(got.delay_frames) +
                (got.delay_frames == 1 ? " frame" : " frames") + " late, the first empty";
        return {"plays", text};
    }
    for (const Player& player : play.players)
        if (player.decoded && !player.decoded->failed_at)
            return {"not_picked",
                    "the platform's search finds no decompressor for it, though " +
                        named(player.code, player.driver) + " takes it when asked alone"};
    for (const Player& player : play.players)
        if (!player.opens && player.reason &&
            (same_code(player.code, movie.handler) ||
             same_code(player.code, movie.format.compression)))
            return {"not_loaded",
                    named(player.code, player.driver) +
                        " is registered for it but does not load: " + player.reason->text};
    if (!play.foreign.empty())
        return {"other_bitness",
                "no decompressor for " + bits + " takes it; " + play.foreign.front().reason.text +
                    ": play it with a " + std::to_string(96 - play.bits) +
                    "-bit program, or install its decompressor for " + bits};
    return {"none_takes",
            "no installed decompressor for " + bits + " takes " + format +
                ", and none is registered for " + movie.handler + ": install one for " + bits};
}

}  // namespace

int play(const Options& options)
{
    const std::string refusal = "selnary-compressors: " + options.play + ": ";
    AviShape shape;
    if (const auto wrong = look_at_file(options.play, shape)) {
        write_error(refusal + *wrong + "\n");
        return kUnreadable;
    }
    std::string save;
    if (!options.save.empty()) {
        const Folder folder = make_folder(options.save);
        if (folder.problem) {
            write_error("selnary-compressors: cannot save pictures in " + folder.path + ": " +
                        *folder.problem + "\n");
            return 1;
        }
        save = folder.path;
    }
    Play play;
    play.bits = static_cast<int>(sizeof(void*) * 8);
    play.file = options.play;
    Heard heard;
    if (const int failed = collect(options, save, play, heard))
        return failed;
    // Where the platform's reader does not read it, ours says why.
    const std::string walked = shape.problems.empty() ? "" : shape.problems.front();
    if (heard.refused || heard.reader_ended || !heard.read) {
        std::string why = heard.reader_ended
            ? "the platform's AVI library " + said_as_hung(*heard.reader_ended)
            : heard.refused.value_or("the platform's AVI library does not read it");
        if (!walked.empty() && (heard.refused_by_platform || !heard.refused))
            why += ": " + walked;
        write_error(refusal + why + "\n");
        return kUnreadable;
    }
    play.movie = heard.movie;
    for (std::size_t i = 0; i < shape.problems.size(); ++i)
        play.movie.notes += (play.movie.notes.empty() ? "" : "; ") + shape.problems[i];
    play.players = std::move(heard.players);
    find_pick(play);
    for (Player& player : play.players) {
        if (player.picked && !player.decoded)
            player.decoded = play.pick.decoded;
        // One that did not open is explained from its driver file, here,
        // where no decompressor was loaded.
        if (player.outcome == Outcome::answered && !player.opens && !player.reason) {
            const DriverLook look = look_at_driver(text::wide(player.driver));
            player.driver_path = look.path;
            player.missing_dll = look.missing_dll;
            player.reason = look.reason.value_or(
                Reason{"refused_open",
                       "it refused to open to decompress (its driver file, the "
                       "DLLs it needs and its DriverProc are all there)"});
        }
    }
    const int other = play.bits == 32 ? 64 : 32;
    for (Foreign& foreign : other_bitness({}))
        if (same_code(foreign.code, play.movie.handler) ||
            same_code(foreign.code, play.movie.format.compression)) {
            foreign.reason = {"other_bitness",
                              "a " + std::to_string(other) + "-bit decompressor for " +
                                  foreign.code + " is installed (" + foreign.driver + "); " +
                                  std::to_string(play.bits) +
                                  "-bit programs such as this one cannot use it"};
            play.foreign.push_back(foreign);
        }
    play.verdict = verdict(play);
    const std::string json = options.json || !save.empty() ? json_text(play) : "";
    if (!save.empty() && !save_text(save, "play.json", json))
        write_error("selnary-compressors: cannot write play.json in " + save + "\n");
    write_out(options.json ? json : table_text(play));
    bool answered = play.pick.outcome == Outcome::answered;
    for (const Player& player : play.players)
        answered = answered && player.outcome == Outcome::answered;
    if (!answered)
        return 3;
    return play.verdict.code == "plays" || play.verdict.code == "uncompressed" ? 0 : kNonePlays;
}

}  // namespace selnary::report
