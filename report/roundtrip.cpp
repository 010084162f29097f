// The proof that a compressor works, as a recorder and a player use one: the
// clip compressed in one session, the first frame asked for as a key frame,
// outputs that lag the input lined up with it, then decompressed in order in
// one session and compared frame by frame. Whatever the compressor answers
// (a size, a result) is bounded before it is used.

#include "report/child.h"
#include "report/clip.h"
#include "report/text.h"

#include <algorithm>
#include <cstring>  // for std::memcpy

namespace selnary::report {
namespace {

// A frame may grow a little when compressed, not beyond this.
constexpr long long kMostCompressedBytes = 64ll << 20;
// Room past every buffer a compressor writes, so that a small overrun costs
// nothing but its own result.
constexpr std::size_t kSlack = 64 * 1024;
// The clip is compressed this many times; the fastest sets the time.
constexpr int kTimedClips = 3;

BITMAPINFOHEADER* header_of(std::vector<unsigned char>& bytes)
{
    return reinterpret_cast<BITMAPINFOHEADER*>(bytes.data());
}

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

// Compressing the clip, in the input's format, with one compressor to the
// format it proposed.
class Compressing {
  public:
    // ROOM is what the compressor STATED a frame may need, or a guess.
    // IN_FORMAT is the input's header, FORMAT the one it proposed.
    Compressing(HIC compressor, const Input& input, std::vector<unsigned char>& in_format,
                const std::vector<unsigned char>& format, std::size_t room, bool stated,
                DWORD quality, Steps& steps)
        : compressor_(compressor), input_(input), in_format_(in_format), format_(format),
          room_(room), stated_(stated), quality_(quality), steps_(steps), buffer_(room + kSlack)
    {
    }

    // One clip, from Begin to End: CALLS calls, or as many as it takes for
    // every frame to come out, within the bound; its outputs into ALIGNMENT
    // where given. The time its compressing calls took, or, with ROW's
    // reason, none where it failed.
    std::optional<double> clip(const std::vector<Frame>& clip, int calls, Alignment* alignment,
                               Row& row)
    {
        const auto in = reinterpret_cast<DWORD_PTR>(in_format_.data());
        const auto out = reinterpret_cast<DWORD_PTR>(format_.data());
        const long long begun = answer(steps_("compress_begin", [&] {
            return ICSendMessage(compressor_, ICM_COMPRESS_BEGIN, in, out);
        }));
        if (begun != ICERR_OK) {
            row.reason = {"compress_failed",
                          "it refused to begin compressing " + input_.named("the probe frame") +
                              " to the format it proposed: " + text::icerr_text(begun)};
            return std::nullopt;
        }
        const std::size_t frames = clip.size();
        const auto more = [&](int made) {
            return calls > 0
                ? made < calls
                : !alignment->complete() && made < static_cast<int>(frames) + kMostExtraCalls;
        };
        std::optional<double> took = 0.0;
        Frame input, previous;
        std::vector<unsigned char> header_bytes;
        for (int made = 0; more(made); ++made) {
            // Past the clip's end, its last frame again.
            const std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(made),
                                                         frames - 1);
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
            largest_ = std::max<std::size_t>(largest_, size);
            if (alignment)
                alignment->add(
                    {{buffer_.begin(), buffer_.begin() + size}, (flags & AVIIF_KEYFRAME) != 0});
        }
        steps_("compress_end", [&] { return ICSendMessage(compressor_, ICM_COMPRESS_END, 0, 0); });
        return took;
    }

    // The largest frame it wrote.
    std::size_t largest() const
    {
        return largest_;
    }

  private:
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
};

// A format to decompress to, and what its frames should come back as.
struct Target {
    std::vector<unsigned char> header;
    std::size_t bytes;  // of one frame, as the header says before anyone may change it
    const std::vector<Frame>* reference;
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
        all.push_back({header_bytes(own, size), bytes, &clip.as_rgb, &own, nullptr,
                       rgb_comparer(own.bit_count, size)});
    else if (is_rgb(own))
        all.push_back(
            {header_bytes(own, size), bytes, &clip.as_rgb, &own, &own, rgb_comparer(32, size)});
    else
        all.push_back({header_bytes(own, size), bytes, &clip.sent, &own, nullptr,
                       format_comparer(own, size)});
    for (const PixelFormat* rgb : {&kRgb32, &kRgb24})
        if (rgb != &own)
            all.push_back({header_bytes(*rgb, size), frame_bytes(*rgb, size), &clip.as_rgb, rgb,
                           nullptr, rgb_comparer(rgb->bit_count, size)});
    return all;
}

// Decompresses OUTPUTS (of FORMAT) in order with HANDLER, in one session,
// and compares each with the clip's frame. False, with nothing said, when it
// does not open or does not take the format; once it took it, the outcome
// goes into ROW: its figures, or the reason they are missing.
bool decompress(DWORD handler, const std::string& subject, const std::vector<unsigned char>& format,
                const std::vector<Output>& outputs, const Input& in, const Clip& clip, Steps& steps,
                Figures& figures, Row& row, Frame* back)
{
    const Opened decompressor(steps,
                              steps(
                                  "decompress_open",
                                  [&] { return ICOpen(ICTYPE_VIDEO, handler, ICMODE_DECOMPRESS); },
                                  subject),
                              "decompress_close", subject);
    if (!decompressor)
        return false;
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
        return false;
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
        return true;
    }
    Frame frame(target.bytes + kSlack), converted;
    ClipCheck check(*target.reference, target.compare);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        // An empty frame among the rest stands for the one before, as a player shows it.
        if (!outputs[i].bytes.empty()) {
            input->biSizeImage = static_cast<DWORD>(outputs[i].bytes.size());
            ICDECOMPRESS call{};
            call.dwFlags = i == 0 || outputs[i].key ? 0 : ICDECOMPRESS_NOTKEYFRAME;
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
            if (done != ICERR_OK && i == 0) {
                row.reason = {"decompress_failed", who + ": " + text::icerr_text(done)};
                break;
            }
            if (done != ICERR_OK) {
                row.reason = {"delta_failed",
                              "the delta frames do not decode in order: " +
                                  frame_name(i, outputs.size()) + " does not decompress after " +
                                  "the ones before it (" + text::icerr_text(done) + ")"};
                break;
            }
        }
        if (target.convert) {
            converted = to_rgb(*target.convert, in.size, frame.data());
            check.add(converted.data());
        } else {
            check.add(frame.data());
        }
        if (i == 0 && back)
            *back = target.convert ? converted : to_rgb(*target.format, in.size, frame.data());
    }
    steps(
        "decompress_end",
        [&] { return ICSendMessage(decompressor.get(), ICM_DECOMPRESS_END, 0, 0); }, subject);
    if (row.reason)
        return true;
    if (check.wrong()) {
        row.reason = {"frames_wrong",
                      "the clip decompresses but its later frames are wrong: " + *check.wrong()};
        return true;
    }
    figures.decompressor = subject.empty() ? row.code : subject;
    figures.output_bit_count = output->biBitCount;
    figures.psnr_db = check.worst().psnr_db;
    figures.looks = check.worst().looks;
    return true;
}

}  // namespace

bool round_trip(HIC compressor, DWORD handler, const Installed& installed, const Input& input,
                const std::vector<unsigned char>& format, Steps& steps, Row& row, Frame* back)
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

    Clip clip;
    for (const Frame& frame : make_clip(input.size)) {
        clip.sent.push_back(from_rgb(*input.format, input.size, frame));
        clip.as_rgb.push_back(to_rgb(*input.format, input.size, clip.sent.back().data()));
    }
    Compressing compressing(compressor, input, in_format, format, room, most > 0, quality, steps);
    Alignment alignment(static_cast<int>(clip.sent.size()));
    std::optional<double> fastest = compressing.clip(clip.sent, 0, &alignment, row);
    if (!fastest)
        return false;
    const std::vector<Output>& outputs = alignment.outputs();
    if (!alignment.complete()) {
        const std::string calls = std::to_string(alignment.calls());
        row.reason = {"no_frame",
                      outputs.empty()
                          ? "no frame came out of it in " + calls +
                              " calls: each gave an empty frame or a one-byte skip frame"
                          : "its output lags too far: " + std::to_string(outputs.size()) + " of " +
                              std::to_string(clip.sent.size()) + " frames came out in " + calls +
                              " calls"};
        return false;
    }
    for (int again = 1; again < kTimedClips; ++again) {
        Row ignored;
        const std::optional<double> took = compressing.clip(clip.sent, alignment.calls(), nullptr,
                                                            ignored);
        if (took)
            fastest = std::min(*fastest, *took);
    }

    Figures figures;
    figures.frames = static_cast<int>(outputs.size());
    figures.lag_frames = alignment.lag();
    figures.key_frame_marked = outputs.front().key;
    figures.compressed_bytes = static_cast<long long>(outputs.front().bytes.size());
    double all = 0, deltas = 0;
    int delta_count = 0;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        all += static_cast<double>(outputs[i].bytes.size());
        if (i > 0 && !outputs[i].key) {
            deltas += static_cast<double>(outputs[i].bytes.size());
            ++delta_count;
        }
    }
    if (delta_count > 0)
        figures.delta_frame_bytes = deltas / delta_count;
    figures.ratio = static_cast<double>(in_bytes) * static_cast<double>(outputs.size()) / all;
    figures.ms_per_frame = *fastest / static_cast<double>(outputs.size());

    // Its own decompressor first, then any other that takes its output. A
    // driver file that is no sound DLL is not loaded: the platform's loader
    // may change the process for it (map its first page, say).
    bool others = false;
    bool decompressed = decompress(handler, "", format, outputs, input, clip, steps, figures, row,
                                   back);
    for (std::size_t i = 0; i < installed.handlers.size() && !decompressed; ++i) {
        const DWORD other = installed.handlers[i];
        if (other != handler && installed.sound[i]) {
            others = true;
            decompressed = decompress(other, text::fourcc(other), format, outputs, input, clip,
                                      steps, figures, row, back);
        }
    }
    if (!decompressed) {
        row.reason = {"no_decompressor",
                      "cannot decompress its own output, and no installed decompressor takes it"};
    } else if (!row.reason) {
        if (!figures.key_frame_marked)
            row.reason = {"key_frame_unmarked",
                          "its first frame is not marked as a key frame (AVIIF_KEYFRAME), so a "
                          "file recorded with it does not start with one"};
        else if (compressing.largest() > room)
            row.reason = {"size_understated",
                          "it said a frame may need " + std::to_string(room) +
                              " bytes (ICCompressGetSize), then wrote " +
                              std::to_string(compressing.largest()) +
                              ": a recorder that allocates what it was told overruns its buffer"};
        trip.figures = figures;
    }
    return others;
}

}  // namespace selnary::report
