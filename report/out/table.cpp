// The report as a table for people: a row a compressor, the reason or the
// round trip on lines under it, and the other bitness's compressors below.

#include "report/out/fields.h"
#include "report/out/output.h"

#include <algorithm>
#include <cstdio>  // for std::snprintf
#include <cstdlib>  // for std::abs

namespace selnary::report {
namespace {

constexpr std::size_t kIndent = 6;  // a detail line starts under the description
// The heading, a column between each two bars.
constexpr std::string_view kHeading =
    "code|description|driver|opens|takes probe|proposes|round trip";
constexpr std::size_t kDescription = 1, kDriver = 2;

std::vector<std::string> split(std::string_view text, char bar)
{
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(bar, start);
        parts.emplace_back(text.substr(start, end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

std::size_t columns(std::string_view text)
{
    return text::columns(text);
}

// TEXT as a line of the table shows it: a control character, which would
// break the line or move the cursor, as '?'.
std::string shown(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
}

// TEXT cut to WIDTH columns, a "~" marking the cut.
std::string fit(const std::string& text, std::size_t width)
{
    if (columns(text) <= width)
        return text;
    return std::string(text::leading_columns(text, width - 1)) + "~";
}

// TEXT broken at spaces into lines of WIDTH columns at most; a word longer
// than that is cut.
std::vector<std::string> wrap(const std::string& text, std::size_t width)
{
    std::vector<std::string> lines(1);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = fit(text.substr(start, end - start), width);
        if (!lines.back().empty() && columns(lines.back()) + 1 + columns(word) > width)
            lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + word;
        start = end + 1;
    }
    return lines;
}

std::string number(double value, const char* format)
{
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string frames(long long count)
{
    return std::to_string(count) + (count == 1 ? " frame" : " frames");
}

// What compressing the clip showed, in words.
std::string compressed_text(const Compressed& clip, long long frame_bytes)
{
    std::string text = "key frame " + std::to_string(frame_bytes) + " -> " +
        std::to_string(clip.compressed_bytes) + " bytes, ";
    text += clip.delta_frame_bytes
        ? "delta frames " + number(*clip.delta_frame_bytes, "%.0f") + " bytes on average"
        : "every frame a key frame";
    return text + " (" + number(clip.ratio, "%.2f") + ":1 over the clip)";
}

std::string ms_text(const Compressed& clip)
{
    return number(clip.ms_per_frame, "%.2f") + " ms a frame";
}

// What a round trip showed, in words: the clip as it came back where it
// did, else what compressing alone showed.
std::string round_trip_text(const RoundTrip& trip, long long frame_bytes)
{
    std::string text;
    if (trip.compressed && trip.figures) {
        const Figures& back = *trip.figures;
        text = "round trip of " + frames(back.frames) + ": " +
            compressed_text(*trip.compressed, frame_bytes) + ", ";
        if (!back.psnr_db)
            text += "exact";
        else if (back.looks)
            text += "comes back " +
                std::string(names_of(*back.looks)[static_cast<int>(*back.looks)]) + " (" +
                number(*back.psnr_db, "%.1f") + " dB)";
        else
            text += "lossy, " + number(*back.psnr_db, "%.1f") + " dB PSNR at worst";
        text += "; " +
            (back.lag_frames ? "its output " + frames(back.lag_frames) + " behind its input"
                             : std::string("no lag"));
        text += ", " + ms_text(*trip.compressed) + "; decompressed by " + back.decompressor +
            " to " + std::to_string(back.output_bit_count) + "-bit RGB";
    } else if (trip.compressed) {
        const Compressed& clip = *trip.compressed;
        text = "compressed only: " + compressed_text(clip, frame_bytes) + ", its key frame " +
            (clip.key_frame_marked ? "marked" : "not marked") + "; " +
            (clip.calls_before_first_frame
                 ? "its first frame after " + std::to_string(clip.calls_before_first_frame) +
                     (clip.calls_before_first_frame == 1 ? " empty or skip frame"
                                                         : " empty or skip frames")
                 : std::string("its first frame at once")) +
            ", " + ms_text(clip);
    }
    if (trip.frames_info && *trip.frames_info != 0)
        text += std::string(text.empty() ? "" : "; ") +
            "the frame count announced (ICM_COMPRESS_FRAMES_INFO) answered " +
            text::icerr_text(*trip.frames_info);
    return text;
}

std::string round_trip_cell(const Row& row)
{
    if (!row.round_trip)
        return "-";
    const auto& figures = row.round_trip->figures;
    if (!figures)
        return "failed";
    return figures->psnr_db ? number(*figures->psnr_db, "%.1f") + " dB" : "exact";
}

// One line of a table: each cell fitted to its column, two spaces apart.
std::string cells_line(const std::vector<std::string>& line, const std::vector<std::size_t>& widths)
{
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const std::string cell = fit(shown(line[i]), widths[i]);
        text += cell;
        if (i + 1 < line.size())
            text += std::string(widths[i] - columns(cell) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text + "\n";
}

// Column widths for CELLS, the description and driver columns narrowed
// until a line fits the table's width.
std::vector<std::size_t> widths_for(const std::vector<std::vector<std::string>>& cells)
{
    std::vector<std::size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (std::size_t i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], columns(shown(line[i])));
    const auto total = [&widths] {
        std::size_t sum = 2 * (widths.size() - 1);
        for (const std::size_t width : widths)
            sum += width;
        return sum;
    };
    while (total() > kTableWidth && (widths[kDescription] > 12 || widths[kDriver] > 12))
        --widths[widths[kDescription] >= widths[kDriver] ? kDescription : kDriver];
    // Still too wide: the other columns are cut too, widest first.
    while (total() > kTableWidth)
        --*std::max_element(widths.begin(), widths.end());
    return widths;
}

std::string other_bitness_text(const Report& report)
{
    if (report.foreign.empty())
        return "";
    const int other = report.bits == 64 ? 32 : 64;
    std::string out = "\nInstalled for " + std::to_string(other) +
        "-bit programs only, so not examined here:\n\n";
    std::vector<std::vector<std::string>> lines = {split("code|driver|", '|')};
    for (const Foreign& entry : report.foreign)
        lines.push_back({entry.code, entry.driver, entry.reason.text});
    std::vector<std::size_t> widths(3, 0);
    for (const auto& line : lines)
        for (std::size_t i = 0; i < 2; ++i)
            widths[i] = std::min<std::size_t>(std::max(widths[i], columns(shown(line[i]))), 24);
    widths[2] = kTableWidth - widths[0] - widths[1] - 4;
    for (const auto& line : lines)
        out += cells_line(line, widths);
    return out;
}

// What one decompressor made of the file's first frames, in words.
std::string decoded_text(const Decoded& got)
{
    std::string text = "decodes " + frames(got.frames) + " at its own " +
        std::to_string(got.output_bit_count) + " bits";
    if (got.failed_at)
        text += "; frame " + std::to_string(*got.failed_at) + " fails: " + got.failure.value_or("");
    if (got.blank)
        text += "; its pictures are black throughout";
    else if (!got.changes && got.frames > 1)
        text += "; the same picture throughout";
    if (got.delay_frames)
        text += "; its pictures come out " + frames(got.delay_frames) + " late; the first is empty";
    for (const std::optional<Depth>& depth : {got.rgb24, got.rgb32}) {
        if (!depth)
            continue;
        text += "; at " + std::to_string(depth->bit_count) + " bits ";
        if (depth->problem)
            text += *depth->problem;
        else if (!depth->psnr_db)
            text += "the same";
        else
            text += "it disagrees with itself: " +
                (depth->looks == Looks::swapped
                     ? "its first picture with red and blue swapped; with them put back, " +
                         (depth->swapped_back_db
                              ? number(*depth->swapped_back_db, "%.2f") + " dB at worst"
                              : std::string("the same"))
                     : number(*depth->psnr_db, "%.2f") + " dB at worst" +
                         (depth->looks ? ", its first picture upside down" : std::string()));
    }
    if (got.against) {
        text += "; against " + *got.against + "'s pictures ";
        text += got.agreement_db ? number(*got.agreement_db, "%.2f") + " dB at worst" : "the same";
        if (got.offset_frames && *got.offset_frames)
            text += ", " + frames(std::abs(*got.offset_frames)) +
                (*got.offset_frames > 0 ? " later" : " earlier");
    }
    return text;
}

// One decompressor in words: what it answered, and how it played.
std::string player_text(const Player& player)
{
    if (player.outcome != Outcome::answered)
        return player.problem.value_or("");
    std::string text = player.picked ? "the platform's pick; " : "";
    if (player.decoded)
        return text + decoded_text(*player.decoded);
    return text + (player.reason ? player.reason->text : "takes it");
}

// A cell of the matrix in a few characters; the legend says what each means.
std::string matrix_cell(const Row& cell)
{
    if (cell.outcome != Outcome::answered)
        return cell.outcome == Outcome::hung ? "hung" : "fault";
    if (!cell.opens)
        return "-";
    if (!cell.accepts)
        return "no";
    if (!cell.round_trip || !cell.round_trip->figures)
        return "fails";
    const Figures& figures = *cell.round_trip->figures;
    return figures.psnr_db ? number(*figures.psnr_db, "%.0f") : "exact";
}

// What went wrong in ROW's cells beyond a "no", each reason once, with the
// formats it held for: "yuy2, uyvy: it refused to begin ...".
std::vector<std::string> matrix_reasons(const MatrixRow& row, Size size)
{
    std::vector<std::pair<std::string, std::string>> said;  // the reason, and its formats
    for (std::size_t i = 0; i < row.cells.size() && i < kFormats.size(); ++i) {
        const Row& cell = row.cells[i];
        if (matrix_cell(cell) == "no" || !cell.reason)
            continue;
        // The format the reason names is its column's: said once for all.
        std::string reason = cell.reason->text;
        const std::string named = Input{&kFormats[i], size}.named("the probe format");
        for (std::size_t at; (at = reason.find(named)) != std::string::npos;)
            reason.replace(at, named.size(), "this format");
        const auto same = std::find_if(said.begin(), said.end(),
                                       [&](const auto& entry) { return entry.first == reason; });
        const std::string name(kFormats[i].name);
        if (same == said.end())
            said.emplace_back(reason, name);
        else
            same->second += ", " + name;
    }
    std::vector<std::string> lines;
    for (const auto& [reason, formats] : said)
        lines.push_back((std::count(formats.begin(), formats.end(), ',') + 1 ==
                                 static_cast<long>(kFormats.size())
                             ? std::string("every format")
                             : formats) +
                        ": " + reason);
    return lines;
}

}  // namespace

Matrix matrix_of(const Report& report)
{
    Matrix matrix{report.bits, report.input.size, {}, report.foreign};
    const auto per = static_cast<std::ptrdiff_t>(report.input.formats());
    for (auto at = report.rows.begin(); report.rows.end() - at >= per; at += per) {
        MatrixRow row{*at, {at, at + per}};
        // It describes itself the same whatever it is asked; any cell that got so far says.
        for (const Row& cell : row.cells)
            if (!cell.description.empty()) {
                row.compressor.description = cell.description;
                row.compressor.opens = row.compressor.opens || cell.opens;
            }
        matrix.rows.push_back(std::move(row));
    }
    return matrix;
}

std::string table_text(const Matrix& matrix)
{
    std::vector<std::vector<std::string>> cells = {{"code"}};
    for (const PixelFormat& format : kFormats)
        cells[0].push_back(format.top_down ? "topdown" : std::string(format.name));
    std::vector<std::vector<std::string>> details = {{}};
    long long faulted = 0, answered = 0;
    for (const MatrixRow& row : matrix.rows) {
        std::vector<std::string> line = {row.compressor.code};
        for (const Row& cell : row.cells) {
            line.push_back(matrix_cell(cell));
            (cell.outcome == Outcome::answered ? answered : faulted) += 1;
        }
        cells.push_back(line);
        std::vector<std::string> said = {
            (row.compressor.description.empty() ? "?" : row.compressor.description) + " (" +
            row.compressor.driver + ")"};
        for (const std::string& reason : matrix_reasons(row, matrix.size))
            said.push_back(reason);
        details.push_back(said);
    }
    std::vector<std::size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (std::size_t i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], columns(shown(line[i])));

    std::string out = "Video compressors for " + std::to_string(matrix.bits) +
        "-bit programs, asked about every format at " + std::to_string(matrix.size.width) + " x " +
        std::to_string(matrix.size.height) + "\n\n";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        out += cells_line(cells[i], widths);
        for (const std::string& detail : details[i])
            for (const std::string& line : wrap(shown(detail), kTableWidth - kIndent))
                out += std::string(kIndent, ' ') + line + "\n";
    }
    out += "\nexact: every frame came back as it went in; a number: the lowest PSNR of its frames "
           "in dB\n"
           "no: it does not take the format; -: it does not open\n"
           "fails: it takes it, but the round trip fails (why, under its row)\n"
           "fault, hung: it crashed or hung on that format, which costs that cell alone\n";
    out += "\n" + std::to_string(matrix.rows.size()) + " installed, " + std::to_string(answered) +
        " cells answered, " + std::to_string(faulted) + " faulted or hung\n";
    Report others;
    others.bits = matrix.bits;
    others.foreign = matrix.foreign;
    return out + other_bitness_text(others);
}

std::string table_text(const Report& report)
{
    const Format& probe = report.probe;
    const long long frame_bytes = static_cast<long long>(
        report::frame_bytes(*report.input.format, report.input.size));
    std::vector<std::vector<std::string>> cells = {split(kHeading, '|')};
    std::vector<std::vector<std::string>> details = {{}};
    const auto yes = [](bool value) { return std::string(value ? "yes" : "no"); };
    for (const Row& row : report.rows) {
        const std::string description = row.description.empty() ? "?" : row.description;
        std::vector<std::string> said;
        if (row.outcome != Outcome::answered) {
            cells.push_back({row.code, description, row.driver, "-", "-", "-", "-"});
            said.push_back(row.problem.value_or(""));
        } else {
            const std::string proposes = row.proposed ? row.proposed->compression + ", " +
                    std::to_string(row.proposed->bit_count) + "-bit"
                                                      : "-";
            cells.push_back({row.code, description, row.driver, yes(row.opens),
                             row.opens ? yes(row.accepts) : "-", proposes, round_trip_cell(row)});
            if (const std::string trip =
                    row.round_trip ? round_trip_text(*row.round_trip, frame_bytes) : std::string();
                !trip.empty())
                said.push_back(trip);
            if (row.reason)
                said.push_back(row.reason->text);
        }
        details.push_back(said);
    }
    const std::vector<std::size_t> widths = widths_for(cells);

    const std::string asked = report.input.is_probe() ? "the probe format"
                                                      : std::string(report.input.format->name);
    std::string out = "Video compressors for " + std::to_string(report.bits) +
        "-bit programs, asked about " + asked + ": " + std::to_string(probe.width) + " x " +
        std::to_string(std::abs(probe.height)) + ", " + std::to_string(probe.bit_count) + "-bit " +
        probe.compression + "\n\n";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        out += cells_line(cells[i], widths);
        for (const std::string& detail : details[i])
            for (const std::string& line : wrap(shown(detail), kTableWidth - kIndent))
                out += std::string(kIndent, ' ') + line + "\n";
    }
    const auto rows_where = [&report](auto test) {
        return std::to_string(std::count_if(report.rows.begin(), report.rows.end(), test));
    };
    const auto worked = [](const Row& row) { return row.round_trip && row.round_trip->figures; };
    out += "\n" + std::to_string(report.rows.size()) + " installed, " +
        rows_where([](const Row& row) { return row.accepts; }) + " take " +
        report.input.named("the probe format") + ", " + rows_where(worked) + " give it back (" +
        rows_where(
               [&](const Row& row) { return worked(row) && !row.round_trip->figures->psnr_db; }) +
        " exactly), " +
        rows_where([](const Row& row) { return row.outcome != Outcome::answered; }) +
        " faulted or hung\n";
    return out + other_bitness_text(report);
}

std::string table_text(const Play& play)
{
    const Movie& movie = play.movie;
    const Format& format = movie.format;
    // The path whole, on a line of its own: cut, it would name another file.
    std::string out = "Played by the decompressors of " + std::to_string(play.bits) +
        "-bit programs:\n" + play.file + "\n\n";
    const auto item = [&out](const std::string& name, const std::string& text) {
        const std::vector<std::string> lines = wrap(shown(text), kTableWidth - kIndent - 10);
        for (std::size_t i = 0; i < lines.size(); ++i)
            out += std::string(kIndent, ' ') + fit(i ? "" : name, 10) +
                std::string(10 - columns(i ? "" : name), ' ') + lines[i] + "\n";
    };
    item("video",
         "handler " + movie.handler + ", " + format.compression + " at " +
             std::to_string(format.bit_count) + " bits" +
             (movie.colours.empty() ? "" : " with " + movie.colours) + ", " +
             std::to_string(format.width) + " x " + std::to_string(std::abs(format.height)) + "; " +
             frames(movie.frames) + " at " + number(movie.rate, "%.3f") + " a second; " +
             (movie.key_frames ? std::to_string(movie.key_frames) +
                      (movie.key_frames == 1 ? " key frame: " : " key frames: ") +
                      movie.key_frame_list
                               : std::string("no key frame marked")));
    if (!movie.notes.empty())
        item("notes", movie.notes);
    const Pick& pick = play.pick;
    item("picked",
         pick.outcome != Outcome::answered ? pick.problem.value_or("")
             : !pick.found ? "none: the platform finds no decompressor for " + format.compression
                           : pick.code.value_or(pick.says) + " (" + pick.driver + ")" +
                 (pick.code && *pick.code != pick.says ? ", which says " + pick.says + " when asked"
                                                       : std::string()) +
                 (pick.decoded ? ": " + decoded_text(*pick.decoded) : std::string()));
    out += "\n";
    std::vector<std::vector<std::string>> cells = {split("code|driver|takes it", '|')};
    for (const Player& player : play.players)
        cells.push_back({player.code, player.driver,
                         player.outcome != Outcome::answered ? "-"
                             : player.takes                  ? "yes"
                                                             : "no"});
    std::vector<std::size_t> widths(3, 0);
    for (const auto& line : cells)
        for (std::size_t i = 0; i < 3; ++i)
            widths[i] = std::min<std::size_t>(std::max(widths[i], columns(shown(line[i]))), 24);
    for (std::size_t i = 0; i < cells.size(); ++i) {
        out += cells_line(cells[i], widths);
        if (i > 0)
            for (const std::string& line :
                 wrap(shown(player_text(play.players[i - 1])), kTableWidth - kIndent))
                out += std::string(kIndent, ' ') + line + "\n";
    }
    if (!play.foreign.empty()) {
        out += "\n";
        for (const Foreign& entry : play.foreign)
            item("other", entry.reason.text);
    }
    out += "\n";
    for (const std::string& line : wrap(shown(play.verdict.text), kTableWidth))
        out += line + "\n";
    return out;
}

}  // namespace selnary::report
