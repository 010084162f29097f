// The one table of the report's fields: every writer and reader of a row
// (both ends of the child's messages, the JSON) walks it, so a field is named
// here and nowhere else. Each name is its JSON name; the comment beside it
// is its documentation.
//
// A walker v is called as
//   v(name, member)                  a value: bool, int, long long, double, string or
//   v(name, member, decimals)        enum, or an optional one (null when missing);
//                                    decimals for the JSON's numbers
//   v.object(name, member, fields)   a nested object, or an optional one
//   v.group(member, fields)          an optional group whose fields stand in the
//                                    enclosing object, each null when it is missing
//   v.derived(name, value)           written, never read: it follows from the others
//   v.list(name, vector, fields)     an array of objects
//   v.numbers(name, vector, decimals) an array of optional numbers
// on a const record when it writes, on a record to fill when it reads.
#pragma once

#include "report/out/play.h"
#include "report/out/row.h"
#include "report/base/text.h"

#include <array>
#include <string_view>

namespace selnary::report {

// The names of each state, in the enum's order.
inline constexpr std::array<std::string_view, 3> kOutcomeNames = {"answered", "faulted", "hung"};
inline constexpr std::array<std::string_view, 2> kLooksNames = {"upside down",
                                                                "with red and blue swapped"};
inline constexpr const auto& names_of(Outcome)
{
    return kOutcomeNames;
}
inline constexpr const auto& names_of(Looks)
{
    return kLooksNames;
}

namespace fields {

inline constexpr auto reason = [](auto& v, auto& why) {
    v("code", why.code);  // stable, for scripts: see the README's table of reasons
    v("text", why.text);  // for people
};

// What a row and an other-bitness entry share.
inline constexpr auto listing = [](auto& v, auto& entry) {
    v("code", entry.code);  // the handler's four-character code
    v("driver", entry.driver);  // its driver file, as registered
};

inline constexpr auto why = [](auto& v, auto& entry) {
    // A row: why its first "no", why its round trip failed, or what is wrong
    // with one that worked; other bitness: which program to use instead.
    v.object("reason", entry.reason, reason);
};

inline constexpr auto bits = [](auto& v, auto& record) {
    v("bits", record.bits);  // 32 or 64: the programs these compressors are for
};

// A format's coding: BI_RGB and the like, or a four-character code, and its depth.
inline constexpr auto coding = [](auto& v, auto& format) {
    v("compression", format.compression);
    v("bit_count", format.bit_count);
};

inline constexpr auto recording = [](auto& v, auto& file) {
    v("file", file.file);  // CODE.avi, or CODE-FORMAT.avi in the matrix, in the --save folder
    v("frames", file.frames);  // one a call, the empty and skip frames too
    v("key_frames", file.key_frames);  // marked AVIIF_KEYFRAME, as the compressor marked them
    v("problem", file.problem);  // why it is not whole (avi_not_written), or null
};

inline constexpr auto query_result = [](auto& v, auto& value) {
    v("value", value);
    v.derived("name", text::icerr_name(value));  // null for a value with no ICERR_ name
};

inline constexpr auto compressed = [](auto& v, auto& clip) {
    v("calls", clip.calls);  // compressing calls a clip took, those past its end included
    v("calls_before_first_frame", clip.calls_before_first_frame);  // empty or skip frames first
    v("key_frame_marked", clip.key_frame_marked);  // its first real frame marked AVIIF_KEYFRAME
    v("compressed_bytes", clip.compressed_bytes);  // the key frame's size
    v("delta_frame_bytes", clip.delta_frame_bytes, 1);  // the others' mean; null: all key frames
    v("ratio", clip.ratio, 3);  // the clip's bytes over its compressed bytes
    v("ms_per_frame", clip.ms_per_frame, 3);  // a clip's compressing calls, all of them, over
                                              // its frames: the best of a few clips
};

inline constexpr auto figures = [](auto& v, auto& trip) {
    v("decompressor", trip.decompressor);  // the handler that decompressed the clip
    v("output_bit_count", trip.output_bit_count);  // 32, or 24 where that was all it gave
    v("frames", trip.frames);  // clip frames compressed, decompressed and compared
    v("lag_frames", trip.lag_frames);  // calls between a frame going in and its picture
    v.derived("exact", !trip.psnr_db);  // every colour byte of every frame came back
    v("psnr_db", trip.psnr_db, 2);  // the lowest frame's, over blue, green and red
    v("looks", trip.looks);  // when not exact: "upside down", "with red and blue swapped"
};

inline constexpr auto round_trip = [](auto& v, auto& trip) {
    v.derived("worked", trip.figures.has_value());  // false: the row's reason says why
    // What ICM_COMPRESS_FRAMES_INFO, the clip's frame count, rate and quality
    // told before it began, was answered; null where it was never sent.
    v.object("frames_info", trip.frames_info, query_result);
    v.group(trip.compressed, compressed);  // null where compressing failed
    v.group(trip.figures, figures);  // null where it did not come back
    // Each frame's PSNR as it came back, in the clip's order, lined up;
    // null for an exact one; [] where the pictures were not compared.
    v.numbers("psnr_db_by_frame", trip.psnr_db_by_frame, 2);
};

inline constexpr auto row = [](auto& v, auto& compressor) {
    v("index", compressor.index);  // its place in the platform's enumeration
    listing(v, compressor);
    v("description", compressor.description);  // as the compressor describes itself
    v("outcome", compressor.outcome);  // answered, faulted or hung
    v("problem", compressor.problem);  // what it did instead of answering
    v("step", compressor.step);  // the step it faulted or hung at: open, query, compress, ...
    v("opens", compressor.opens);  // opens for compression (ICOpen, ICMODE_COMPRESS)
    v("accepts_probe", compressor.accepts);  // ICCompressQuery said yes to the probe format
    v.object("query_result", compressor.query_result,
             query_result);  // what ICCompressQuery answered
    v.object("proposed", compressor.proposed, coding);  // the format it would compress the probe to
    v("configure", compressor.configure);  // offers a Configure dialog
    v("about", compressor.about);  // offers an About dialog
    why(v, compressor);
    v("driver_path", compressor.driver_path);  // where its driver file was found, when looked for
    v("missing_dll", compressor.missing_dll);  // the first DLL it needs that is not found
    // Null where it was not tried: it does not take the probe or proposes no format.
    v.object("round_trip", compressor.round_trip, round_trip);
    // The clip as it was compressed, saved as an AVI file; null without --save.
    v.object("recording", compressor.recording, recording);
};

inline constexpr auto foreign = [](auto& v, auto& entry) {
    listing(v, entry);
    bits(v, entry);
    why(v, entry);
};

inline constexpr auto format = [](auto& v, auto& probe) {
    v("width", probe.width);
    v("height", probe.height);
    coding(v, probe);
};

inline constexpr auto report = [](auto& v, auto& whole) {
    bits(v, whole);
    v.object("probe", whole.probe, format);  // the format every compressor was asked about
    v.list("compressors", whole.rows, row);  // in enumeration order
    v.list("other_bitness", whole.foreign, foreign);  // registered in the other view only
    long long answered = 0;
    for (const Row& entry : whole.rows)
        answered += entry.outcome == Outcome::answered;
    v.derived("answered", answered);
    v.derived("faulted_or_hung", static_cast<long long>(whole.rows.size()) - answered);
};

// A cell of the matrix: a compressor asked about one format. Each field
// means what it means in a row.
inline constexpr auto cell = [](auto& v, auto& asked) {
    v("accepts", asked.accepts);  // ICCompressQuery said yes to this format
    v.object("query_result", asked.query_result, query_result);
    v.object("proposed", asked.proposed, coding);  // the format it would compress this one to
    v.object("round_trip", asked.round_trip, round_trip);  // null where it was not tried
    v.object("recording", asked.recording, recording);  // null without --save
    why(v, asked);
    v("outcome", asked.outcome);  // answered, faulted or hung, this cell alone
    v("step", asked.step);
};

inline constexpr auto matrix_row = [](auto& v, auto& entry) {
    const Row& compressor = entry.compressor;
    v("index", compressor.index);
    listing(v, compressor);
    v("description", compressor.description);
    v("opens", compressor.opens);
    v("driver_path", compressor.driver_path);
    v("missing_dll", compressor.missing_dll);
    v.keyed("cells", entry.cells, kFormatNames, cell);  // by format name
};

inline constexpr auto size = [](auto& v, auto& frame) {
    v("width", frame.width);
    v("height", frame.height);
};

inline constexpr auto matrix = [](auto& v, auto& whole) {
    bits(v, whole);
    v.object("size", whole.size, size);  // every format was asked about at this size
    v.names("formats", kFormatNames);  // in the order of each row's cells
    v.list("compressors", whole.rows, matrix_row);  // in enumeration order
    v.list("other_bitness", whole.foreign, foreign);
    long long answered = 0, cells = 0;
    for (const auto& entry : whole.rows)
        for (const Row& asked : entry.cells) {
            answered += asked.outcome == Outcome::answered;
            ++cells;
        }
    v.derived("cells_answered", answered);
    v.derived("cells_faulted_or_hung", cells - answered);
};

// --play: a person's AVI file and the decompressors that may play it.
inline constexpr auto movie = [](auto& v, auto& file) {
    v("handler", file.handler);  // the stream's fccHandler: the codec the file names
    v.object("format", file.format, format);  // its frames' BITMAPINFOHEADER
    v("colours", file.colours);  // its palette or masks, where it has them
    v("frames", file.frames);  // the stream's length
    v("rate", file.rate, 3);  // frames a second
    v("key_frames", file.key_frames);  // marked key frames, by the index
    v("key_frame_list", file.key_frame_list);  // the first of them, numbered from 1
    v("first_key", file.first_key);  // where playing starts, numbered from 0
    v("notes", file.notes);  // what our own reader finds wrong with it, "; " between
};

inline constexpr auto depth = [](auto& v, auto& asked) {
    v("bit_count", asked.bit_count);
    v.derived("same", !asked.psnr_db && !asked.problem);  // the pictures are its own depth's
    v("psnr_db", asked.psnr_db, 2);  // the lowest frame's against its own depth's
    v("looks", asked.looks);  // its first picture "upside down", "with red and blue swapped"
    v("swapped_back_db", asked.swapped_back_db, 2);  // swapped: the lowest with them put back
    v("problem", asked.problem);  // it took the depth but failed with it
};

inline constexpr auto decoded = [](auto& v, auto& frames) {
    v("output_bit_count", frames.output_bit_count);  // its own RGB depth
    v("frames", frames.frames);  // decoded in order from the first key frame
    v("failed_at", frames.failed_at);  // the first that did not decode, from 1; null: none
    v("failure", frames.failure);  // what it answered there
    v("changes", frames.changes);  // false: the same picture throughout
    v("blank", frames.blank);  // every picture black
    v("delay_frames", frames.delay_frames);  // empty pictures before its first one
    v.object("rgb24", frames.rgb24, depth);  // null: its own depth, or not offered
    v.object("rgb32", frames.rgb32, depth);
    v("against", frames.against);  // the platform's pick, where this is another
    v("offset_frames", frames.offset_frames);  // its pictures this many later than the pick's
    v("agreement_db", frames.agreement_db, 2);  // lowest PSNR against the pick; null: the same
};

inline constexpr auto player = [](auto& v, auto& entry) {
    v("index", entry.index);  // its place in the platform's enumeration
    listing(v, entry);
    v("description", entry.description);
    v("outcome", entry.outcome);  // answered, faulted or hung
    v("problem", entry.problem);
    v("step", entry.step);
    v("opens", entry.opens);  // opens to decompress (ICMODE_DECOMPRESS)
    v("takes", entry.takes);  // ICDecompressQuery said yes to the file's format
    v.object("query_result", entry.query_result, query_result);
    v("picked", entry.picked);  // the one the platform picks for the format
    why(v, entry);
    v("driver_path", entry.driver_path);
    v("missing_dll", entry.missing_dll);
    v.object("decoded", entry.decoded, decoded);  // null where it was not tried
};

inline constexpr auto pick = [](auto& v, auto& found) {
    v("found", found.found);  // ICLocate gave a decompressor for the format
    v("says", found.says);  // the code it gives when asked (ICGetInfo)
    v("description", found.description);
    v("driver", found.driver);  // its registration's driver file
    v("index", found.index);  // its registration among the decompressors
    v("code", found.code);  // that registration's code
    v("outcome", found.outcome);  // the search and the pick's playing
    v("problem", found.problem);
    v.object("decoded", found.decoded, decoded);
};

inline constexpr auto play = [](auto& v, auto& whole) {
    bits(v, whole);
    v("file", whole.file);
    v.object("movie", whole.movie, movie);
    v.object("verdict", whole.verdict, reason);  // plays, or why none does
    v.object("pick", whole.pick, pick);
    v.list("decompressors", whole.players, player);  // in enumeration order
    v.list("other_bitness", whole.foreign, foreign);  // registered for its code
};

}  // namespace fields
}  // namespace selnary::report
