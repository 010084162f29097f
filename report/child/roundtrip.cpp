// The proof that a compressor works, as a recorder and a player use one: the
// clip announced and compressed in one session, the first frame asked for as
// a key frame, its last frame sent again until every frame has come out;
// then every output decompressed in order in one session, as a player shows
// them, and the pictures lined up with the clip by what they show. Whatever
// the compressor answers (a size, a result, its state) is bounded before it
// is used.

#include "report/child/child.h"
#include "report/frames/clip.h"
#include "report/base/text.h"

#include <algorithm>
#include <limits>

namespace selnary::report {
namespace {

// A frame may grow a little when compressed, not beyond this.
constexpr long long kMostCompressedBytes = 64ll << 20;
// Room past every buffer a compressor writes, so that a small overrun costs
// nothing but its own result.
constexpr std::size_t kSlack = 64 * 1024;
// The clip is compressed this many times; the fastest sets the time.
constexpr int kTimedClips = 3;
// A compressor's state (ICGetState) is read up to this size.
constexpr long long kMostStateBytes = 1 << 20;
// Rounds of more calls for pictures that come later than the frames did.
constexpr int kMostLateRounds = 4;

using Bytes = std::vector<unsigned char>;

double now_ms()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

std::string frame_name(std::size_t at, std::size_t of)
{
    return "frame " + std::to_string(at + 1) + " of " + std::to_string(of);
}

// The compressor's state as ICGetState gives it, where it has one of a
// sound size.
std::optional<Bytes> state_of(HIC compressor, Steps& steps)
{
    const long long size = answer(
        steps("get_state", [&] { return ICSendMessage(compressor, ICM_GETSTATE, 0, 0); }));
    if (size <= 0 || size > kMostStateBytes)
        return std::nullopt;
    Bytes state(static_cast<std::size_t>(size) + kSlack);
    steps("get_state", [&] {
        return ICSendMessage(compressor, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(state.data()),
                             static_cast<DWORD_PTR>(size));
    });
    state.resize(static_cast<std::size_t>(size));
    return state;
}

// Compressing the clip, in the input's format, with one compressor to the
// format it proposed.
class Compressing {
  public:
    // ROOM is what the compressor STATED a frame may need, or a guess.
    // IN_FORMAT is the input's header, FORMAT the one it proposed.
    // Its settings are read before it first begins.
    Compressing(HIC compressor, const Input& input, std::vector<unsigned char>& in_format,
                const std::vector<unsigned char>& format, std::size_t room, bool stated,
                DWORD quality, Steps& steps)
        : compressor_(compressor), input_(input), in_format_(in_format), format_(format),
          room_(room), stated_(stated), quality_(quality), steps_(steps), buffer_(room + kSlack),
          configured_(state_of(compressor, steps))
    {
    }

    // One clip, from Begin to End, in CALLS calls, its last frame again past
    // its end, announced first as editors do; its outputs into OUTPUTS where
    // given. The time its compressing calls took, or, with ROW's reason,
    // none where it failed.
    std::optional<double> clip(const std::vector<Frame>& clip, int calls,
                               std::vector<Output>* outputs, Row& row)
    {
        const auto in = reinterpret_cast<DWORD_PTR>(in_format_.data());
        const auto out = reinterpret_cast<DWORD_PTR>(format_.data());
        announce(calls);
        const long long begun = answer(steps_("compress_begin", [&] {
            return ICSendMessage(compressor_, ICM_COMPRESS_BEGIN, in, out);
        }));
        if (begun != ICERR_OK) {
            row.reason = {"compress_failed",
                          "it refused to begin compressing " + input_.named("the probe frame") +
                              " to the format it proposed: " + text::icerr_text(begun)};
            return std::nullopt;
        }
        if (outputs)
            outputs->clear();
        const std::size_t frames = clip.size();
        std::optional<double> took = 0.0;
        Frame input, previous;
        std::size_t at = 0, before = 0;
        std::vector<unsigned char> header_bytes;
        for (int made = 0; made < calls; ++made) {
            before = at;
            at = std::min<std::size_t>(static_cast<std::size_t>(made), frames - 1);
            previous = std::move(input);
            input = clip[at];  // a copy, in case it writes to its input
            header_bytes = format_;
            auto header = reinterpret_cast<BITMAPINFOHEADER*>(header_bytes.data());
            header->biSizeImage = static_cast<DWORD>(room_);
            DWORD chunk = 0, flags = 0;
            ICCOMPRESS call{};
            call.dwFlags = made == 0 ? ICCOMPRESS_KEYFRAME : 0;
            call.lpbiOutput = header;
            call.lpOutput = buffer_.data();
            call.lpbiInput = header_of(in_format_);
            call.lpInput = input.data();
            call.lpckid = &chunk;
            call.lpdwFlags = &flags;
            call.lFrameNum = made;
            call.dwQuality = quality_;
            // The frame before, as a recorder hands it to a compressor that asks for it.
            if (made > 0) {
                call.lpbiPrev = header_of(in_format_);
                call.lpPrev = previous.data();
            }
            const double started = now_ms();
            const long long result = answer(steps_("compress", [&] {
                return ICSendMessage(compressor_, ICM_COMPRESS, reinterpret_cast<DWORD_PTR>(&call),
                                     sizeof call);
            }));
            *took += now_ms() - started;
            const DWORD size = header->biSizeImage;
            if (result != ICERR_OK) {
                row.reason = {"compress_failed",
                              "it could not compress " + frame_name(at, frames) +
                                  " of the clip: " + text::icerr_text(result)};
                took.reset();
                break;
            }
            // Beyond what it said it may need, but within the slack: the
            // frame is whole, and what it said is wrong, which the row tells.
            if (size > room_ + (stated_ ? kSlack : 0)) {
                row.reason = {"compress_failed",
                              "it says its frame is " + std::to_string(size) +
                                  " bytes, more than the " + std::to_string(room_) +
                                  " bytes it was given"};
                took.reset();
                break;
            }
            // What it was given must be as it was sent: a recorder shows it,
            // or hands it over again as the frame before.
            if (!overwritten_ && input != clip[at])
                overwritten_ = frame_name(at, frames);
            if (!overwritten_ && made > 0 && previous != clip[before])
                overwritten_ = frame_name(before, frames) + " as the frame before";
            largest_ = std::max<std::size_t>(largest_, size);
            if (outputs)
                outputs->push_back(
                    {{buffer_.begin(), buffer_.begin() + size}, (flags & AVIIF_KEYFRAME) != 0});
        }
        steps_("compress_end", [&] { return ICSendMessage(compressor_, ICM_COMPRESS_END, 0, 0); });
        keep_settings();
        return took;
    }

    // The largest frame it wrote.
    std::size_t largest() const
    {
        return largest_;
    }
    // What the first announcement was answered.
    std::optional<long long> frames_info() const
    {
        return frames_info_;
    }
    // The first frame it wrote into, where it did.
    const std::optional<std::string>& overwritten() const
    {
        return overwritten_;
    }
    // The size of its settings where they did not survive a clip.
    std::optional<std::size_t> settings_lost() const
    {
        return lost_ ? std::optional(configured_->size()) : std::nullopt;
    }

  private:
    // The clip's frame count, CALLS, at 30 frames a second and the quality
    // asked for, before Begin: some encoders flush the frames they hold only
    // at the end of what was announced, and some misbehave without it.
    void announce(int calls)
    {
        ICCOMPRESSFRAMES info{};
        info.lpbiOutput = reinterpret_cast<BITMAPINFOHEADER*>(
            const_cast<unsigned char*>(format_.data()));
        info.lpbiInput = header_of(in_format_);
        info.lFrameCount = calls;
        info.lQuality = static_cast<LONG>(quality_);
        info.dwRate = 30;
        info.dwScale = 1;
        const long long said = answer(steps_("compress_frames_info", [&] {
            return ICSendMessage(compressor_, ICM_COMPRESS_FRAMES_INFO,
                                 reinterpret_cast<DWORD_PTR>(&info), sizeof info);
        }));
        if (!frames_info_)
            frames_info_ = said;
    }

    // Its settings as they were before it began, set again where a clip
    // did not leave them so, as editors do: every clip is compressed as it
    // was configured.
    void keep_settings()
    {
        if (!configured_ || state_of(compressor_, steps_) == configured_)
            return;
        lost_ = true;
        steps_("set_state", [&] {
            return ICSendMessage(compressor_, ICM_SETSTATE,
                                 reinterpret_cast<DWORD_PTR>(configured_->data()),
                                 static_cast<DWORD_PTR>(configured_->size()));
        });
    }

    HIC compressor_;
    const Input& input_;
    std::vector<unsigned char>& in_format_;  // its header, which it may write to
    const std::vector<unsigned char>& format_;
    std::size_t room_;
    bool stated_;
    DWORD quality_;
    Steps& steps_;
    std::vector<unsigned char> buffer_;
    std::size_t largest_ = 0;
    std::optional<Bytes> configured_;
    bool lost_ = false;
    std::optional<long long> frames_info_;
    std::optional<std::string> overwritten_;
};

// A format to decompress to, and what its frames should come back as.
struct Target {
    std::vector<unsigned char> header;
    std::size_t bytes;  // of one frame, as the header says before anyone may change it
    const PixelFormat* format;  // what its header says
    const PixelFormat* convert;  // turned into 32-bit RGB before it is compared, where given
    Comparer compare;
};

// The clip in the input's format, as it went in and as 32-bit RGB by the
// one fixed conversion (for the probe, the clip's own frames both times).
struct Clip {
    std::vector<Frame> sent, as_rgb;
};

// The formats a decompressor is asked for, in order: the input's own, then
// 32- and 24-bit RGB.
std::vector<Target> targets(const Input& input, const Clip& clip)
{
    const PixelFormat& own = *input.format;
    const Size size = input.size;
    std::vector<Target> all;
    const std::size_t bytes = frame_bytes(own, size);
    if (own.layout == Layout::rgb && own.bit_count >= 24 && !own.top_down)
        all.push_back({header_bytes(own, size), bytes, &own, nullptr,
                       rgb_comparer(clip.as_rgb, own.bit_count, size)});
    else if (is_rgb(own))
        all.push_back(
            {header_bytes(own, size), bytes, &own, &own, rgb_comparer(clip.as_rgb, 32, size)});
    else
        all.push_back(
            {header_bytes(own, size), bytes, &own, nullptr, format_comparer(clip.sent, own, size)});
    for (const PixelFormat* rgb : {&kRgb32, &kRgb24})
        if (rgb != &own)
            all.push_back({header_bytes(*rgb, size), frame_bytes(*rgb, size), rgb, nullptr,
                           rgb_comparer(clip.as_rgb, rgb->bit_count, size)});
    return all;
}

// What a decompressor made of a clip's outputs: how each picture, one a
// call, compares with the clip.
struct Pictures {
    std::vector<Likeness> seen;
    int bit_count = 0;
    Frame first;  // the one most like the clip's first frame, as 32-bit RGB, where asked for
};

enum class Took { not_taken, failed, decoded };

// Decompresses every one of OUTPUTS (of FORMAT) in order with HANDLER, in one
// session, into one picture as a player shows them, and compares each
// picture with the clip's frames. Not taken, with nothing said, when it does
// not open or does not take the format; failed, with ROW's reason, when a
// frame that should decode does not.
Took decompress(DWORD handler, const std::string& subject, const std::vector<unsigned char>& format,
                const std::vector<Output>& outputs, const Input& in, const Clip& clip, Steps& steps,
                Pictures& pictures, Row& row, bool keep_first)
{
    const Opened decompressor(steps,
                              steps(
                                  "decompress_open",
                                  [&] { return ICOpen(ICTYPE_VIDEO, handler, ICMODE_DECOMPRESS); },
                                  subject),
                              "decompress_close", subject);
    if (!decompressor)
        return Took::not_taken;
    std::vector<unsigned char> input_bytes = format;
    const auto input = header_of(input_bytes);
    std::vector<Target> offered = targets(in, clip);
    const auto taken = std::find_if(offered.begin(), offered.end(), [&](Target& target) {
        return steps(
                   "decompress_query",
                   [&] {
                       return ICSendMessage(decompressor.get(), ICM_DECOMPRESS_QUERY,
                                            reinterpret_cast<DWORD_PTR>(input),
                                            reinterpret_cast<DWORD_PTR>(target.header.data()));
                   },
                   subject) == ICERR_OK;
    });
    if (taken == offered.end())
        return Took::not_taken;
    Target& target = *taken;
    BITMAPINFOHEADER* const output = header_of(target.header);

    const std::string who = subject.empty() ? "it cannot decompress its own output"
                                            : subject + " cannot decompress its output";
    const long long begun = answer(steps(
        "decompress_begin",
        [&] {
            return ICSendMessage(decompressor.get(), ICM_DECOMPRESS_BEGIN,
                                 reinterpret_cast<DWORD_PTR>(input),
                                 reinterpret_cast<DWORD_PTR>(output));
        },
        subject));
    if (begun != ICERR_OK) {
        row.reason = {"decompress_failed", who + ": " + text::icerr_text(begun)};
        return Took::failed;
    }
    pictures = {};
    pictures.bit_count = output->biBitCount;
    Frame frame(target.bytes + kSlack), converted;
    Likeness seen;
    bool started = false;  // a frame has decoded
    double first = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < outputs.size() && !row.reason; ++i) {
        // An empty output leaves the picture as it was, as players show it,
        // and so does a skip frame before there is any picture.
        const bool sent = !outputs[i].bytes.empty() && (started || !is_lag(outputs[i]));
        if (sent) {
            input->biSizeImage = static_cast<DWORD>(outputs[i].bytes.size());
            ICDECOMPRESS call{};
            call.dwFlags = !started || outputs[i].key ? 0 : ICDECOMPRESS_NOTKEYFRAME;
            call.lpbiInput = input;
            call.lpInput = const_cast<unsigned char*>(outputs[i].bytes.data());
            call.lpbiOutput = output;
            call.lpOutput = frame.data();
            const long long done = answer(steps(
                "decompress",
                [&] {
                    return ICSendMessage(decompressor.get(), ICM_DECOMPRESS,
                                         reinterpret_cast<DWORD_PTR>(&call), sizeof call);
                },
                subject));
            if (done != ICERR_OK && !started)
                row.reason = {"decompress_failed", who + ": " + text::icerr_text(done)};
            // A skip frame it does not take leaves the picture as it was.
            else if (done != ICERR_OK && !is_lag(outputs[i]))
                row.reason = {"delta_failed",
                              "the delta frames do not decode in order: " +
                                  frame_name(i, outputs.size()) + " does not decompress after " +
                                  "the ones before it (" + text::icerr_text(done) + ")"};
            started = true;
        }
        if (sent || seen.empty()) {
            const unsigned char* got = frame.data();
            if (target.convert) {
                converted = to_rgb(*target.convert, in.size, frame.data());
                got = converted.data();
            }
            seen = target.compare(got);
            const double like_first = seen.front().psnr_db.value_or(
                std::numeric_limits<double>::infinity());
            // The latest of equals: a picture held is shown again before the next.
            if (keep_first && started && like_first >= first) {
                first = like_first;
                pictures.first = target.convert ? converted
                                                : to_rgb(*target.format, in.size, frame.data());
            }
        }
        pictures.seen.push_back(seen);
    }
    steps(
        "decompress_end",
        [&] { return ICSendMessage(decompressor.get(), ICM_DECOMPRESS_END, 0, 0); }, subject);
    return row.reason ? Took::failed : Took::decoded;
}

// The round trip of CLIP, its outputs into OUTPUTS, the picture most like
// its first frame into BACK where given.
bool prove(HIC compressor, DWORD handler, const Installed& installed, const Input& input,
           const std::vector<unsigned char>& format, Steps& steps, Row& row, const Clip& clip,
           std::vector<Output>& outputs, Frame* back)
{
    RoundTrip& trip = row.round_trip.emplace();
    std::vector<unsigned char> in_format = header_bytes(*input.format, input.size);
    const std::size_t in_bytes = frame_bytes(*input.format, input.size);
    const auto in = reinterpret_cast<DWORD_PTR>(in_format.data());
    const auto out = reinterpret_cast<DWORD_PTR>(format.data());

    // Room for a compressed frame: what it says it may need, within reason;
    // twice the frame where it does not say.
    const long long most = answer(steps("compress_size", [&] {
        return ICSendMessage(compressor, ICM_COMPRESS_GET_SIZE, in, out);
    }));
    if (most > kMostCompressedBytes) {
        row.reason = {"absurd_size",
                      "it claims a compressed frame may need " + std::to_string(most) + " bytes"};
        return false;
    }
    const std::size_t room = most > 0 ? static_cast<std::size_t>(most) : 2 * in_bytes;

    DWORD quality = ICQUALITY_DEFAULT;
    DWORD preferred = 0;
    if (steps("quality",
              [&] {
                  return ICSendMessage(compressor, ICM_GETDEFAULTQUALITY,
                                       reinterpret_cast<DWORD_PTR>(&preferred), 0);
              }) == ICERR_OK &&
        preferred <= ICQUALITY_HIGH)
        quality = preferred;

    const int frames = static_cast<int>(clip.sent.size());
    const int most_calls = frames + kMostExtraCalls;
    Compressing compressing(compressor, input, in_format, format, room, most > 0, quality, steps);
    int calls = frames;
    std::optional<double> took = compressing.clip(clip.sent, calls, &outputs, row);
    trip.frames_info = compressing.frames_info();
    if (!took)
        return false;

    // More calls, the clip's last frame again, until every frame has come
    // out: as many as are missing, or the most there may be where none came.
    Carried carries = carried(outputs, frames);
    const auto again = [&](int more) {
        calls = std::min(most_calls, calls + more);
        took = compressing.clip(clip.sent, calls, &outputs, row);
        carries = carried(outputs, frames);
        return took.has_value();
    };
    while (carries.frames < frames && calls < most_calls)
        if (!again(carries.frames == 0 ? most_calls : frames - carries.frames))
            return false;
    if (carries.frames < frames) {
        const std::string made = std::to_string(calls);
        row.reason = {"no_frame",
                      carries.frames == 0
                          ? "no frame came out of it in " + made +
                              " calls: each gave an empty frame or a one-byte skip frame"
                          : "its output lags too far: " + std::to_string(carries.frames) + " of " +
                              std::to_string(frames) + " frames came out in " + made + " calls"};
        return false;
    }

    // What compressing showed, the clip's outputs up to the one that carried its last frame.
    const auto compressed = [&] {
        Compressed shown;
        shown.calls = calls;
        shown.calls_before_first_frame = carries.lead;
        const Output& key = outputs[static_cast<std::size_t>(carries.lead)];
        shown.key_frame_marked = key.key;
        shown.compressed_bytes = static_cast<long long>(key.bytes.size());
        double all = 0, deltas = 0;
        int delta_count = 0;
        for (std::size_t i = 0; i <= carries.last; ++i) {
            all += static_cast<double>(outputs[i].bytes.size());
            if (i > static_cast<std::size_t>(carries.lead) && !outputs[i].key &&
                !is_lag(outputs[i])) {
                deltas += static_cast<double>(outputs[i].bytes.size());
                ++delta_count;
            }
        }
        if (delta_count > 0)
            shown.delta_frame_bytes = deltas / delta_count;
        shown.ratio = static_cast<double>(in_bytes) * frames / all;
        // Every call timed, the extra ones too; the fastest of a few clips.
        double fastest = *took;
        for (int clips = 1; clips < kTimedClips; ++clips) {
            Row ignored;
            if (const std::optional<double> timed = compressing.clip(clip.sent, calls, nullptr,
                                                                     ignored))
                fastest = std::min(fastest, *timed);
        }
        shown.ms_per_frame = fastest / frames;
        return shown;
    };

    // Its own decompressor first, then any other that takes its output. A
    // driver file that is no sound DLL is not loaded: the platform's loader
    // may change the process for it (map its first page, say).
    Pictures pictures;
    bool others = false;
    DWORD by = handler;
    std::string subject;
    Took decoded = decompress(handler, subject, format, outputs, input, clip, steps, pictures, row,
                              back != nullptr);
    for (std::size_t i = 0; i < installed.handlers.size() && decoded == Took::not_taken; ++i) {
        const DWORD other = installed.handlers[i];
        if (other != handler && installed.sound[i]) {
            others = true;
            by = other;
            subject = text::fourcc(other);
            decoded = decompress(by, subject, format, outputs, input, clip, steps, pictures, row,
                                 back != nullptr);
        }
    }
    if (decoded == Took::not_taken) {
        trip.compressed = compressed();
        row.reason = {"no_decompressor",
                      "cannot decompress its own output, and no installed decompressor takes it, "
                      "so its pictures could not be checked here"};
        return others;
    }

    // Pictures that come later than the frames did (a decompressor that
    // holds one back) need as many more calls to show the clip's end.
    std::optional<LineUp> lined;
    if (decoded == Took::decoded)
        lined = line_up(pictures.seen);
    for (int round = 0;
         lined && lined->short_by > 0 && calls < most_calls && round < kMostLateRounds; ++round) {
        if (!again(lined->short_by))
            return others;
        decoded = decompress(by, subject, format, outputs, input, clip, steps, pictures, row,
                             back != nullptr);
        lined.reset();
        if (decoded == Took::decoded)
            lined = line_up(pictures.seen);
    }
    trip.compressed = compressed();
    if (back)
        *back = std::move(pictures.first);
    if (decoded == Took::failed)
        return others;
    if (lined && lined->short_by > 0) {
        row.reason = {"no_frame",
                      "its pictures lag too far: the last " + std::to_string(lined->short_by) +
                          " of " + std::to_string(frames) + " frames had not come back in " +
                          std::to_string(calls) + " calls"};
        return others;
    }
    // Where no offset shows the clip, its frames are judged where its outputs
    // put them, which says how they are wrong.
    const int lag = lined ? lined->lag : carries.lead;
    ClipCheck check;
    for (int at = 0; at < frames; ++at) {
        const Likeness& seen = pictures.seen[static_cast<std::size_t>(lag + at)];
        check.add(seen);
        trip.psnr_db_by_frame.push_back(seen[static_cast<std::size_t>(at)].psnr_db);
    }
    if (check.wrong()) {
        row.reason = {"frames_wrong",
                      "the clip decompresses but its later frames are wrong: " + *check.wrong()};
        return others;
    }
    Figures figures;
    figures.decompressor = subject.empty() ? row.code : subject;
    figures.output_bit_count = pictures.bit_count;
    figures.frames = frames;
    figures.lag_frames = lag;
    figures.psnr_db = check.worst().psnr_db;
    figures.looks = check.worst().looks;

    if (!trip.compressed->key_frame_marked)
        row.reason = {"key_frame_unmarked",
                      "its first frame is not marked as a key frame (AVIIF_KEYFRAME), so a "
                      "file recorded with it does not start with one"};
    else if (compressing.largest() > room)
        row.reason = {"size_understated",
                      "it said a frame may need " + std::to_string(room) +
                          " bytes (ICCompressGetSize), then wrote " +
                          std::to_string(compressing.largest()) +
                          ": a recorder that allocates what it was told overruns its buffer"};
    else if (compressing.overwritten())
        row.reason = {"input_overwritten",
                      "it writes into the frames it is given: " + *compressing.overwritten() +
                          " was not as it was sent after the call, so a recorder that shows or "
                          "reuses a frame it compressed sees it changed"};
    else if (compressing.settings_lost())
        row.reason = {"settings_lost",
                      "its settings do not survive compressing: its state (ICGetState, " +
                          std::to_string(*compressing.settings_lost()) +
                          " bytes) after ICCompressEnd is not what it was before "
                          "ICCompressBegin, so a recorder must set it again for every recording"};
    trip.figures = figures;
    return others;
}

}  // namespace

bool round_trip(HIC compressor, DWORD handler, const Installed& installed, const Input& input,
                const std::vector<unsigned char>& format, Steps& steps, Row& row, Kept* kept)
{
    Clip clip;
    for (const Frame& frame : make_clip(input.size)) {
        clip.sent.push_back(from_rgb(*input.format, input.size, frame));
        clip.as_rgb.push_back(to_rgb(*input.format, input.size, clip.sent.back().data()));
    }
    // The outputs of its last clip, as far as they came, are the recording's.
    std::vector<Output> unkept;
    if (kept)
        kept->recording = {handler, format, {}};
    const bool others = prove(compressor, handler, installed, input, format, steps, row, clip,
                              kept ? kept->recording.frames : unkept, kept ? &kept->back : nullptr);
    // The clip as given, handed over once it is done with: a frame of 4K
    // is 33 MB, too much to copy in a 32-bit process.
    if (kept) {
        kept->clip = {0, header_bytes(*input.format, input.size), {}};
        for (Frame& frame : clip.sent)
            kept->clip.frames.push_back({std::move(frame), true});
    }
    return others;
}

}  // namespace selnary::report
