// The proof that a compressor works, as a recorder and a player use one: the
// clip compressed in one session, the first frame asked for as a key frame,
// outputs that lag the input lined up with it, then decompressed in order in
// one session and compared frame by frame. Whatever the compressor answers
// (a size, a result) is bounded before it is used.

#include "probe/probe.h"
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

BITMAPINFOHEADER rgb_format(WORD bits)
{
    BITMAPINFOHEADER format;
    fill_probe_format(format);
    format.biBitCount = bits;
    format.biSizeImage = static_cast<DWORD>((probe_width * bits + 31) / 32 * 4 * probe_height);
    return format;
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

// Compressing the clip with one compressor to the format it proposed.
class Compressing {
  public:
    Compressing(HIC compressor, const std::vector<unsigned char>& format, std::size_t room,
                DWORD quality, Steps& steps)
        : compressor_(compressor), format_(format), room_(room), quality_(quality), steps_(steps),
          buffer_(room + kSlack)
    {
        fill_probe_format(probe_);
    }

    // One clip, from Begin to End: CALLS calls, or as many as it takes for
    // every frame to come out, within the bound; its outputs into ALIGNMENT
    // where given. The time its compressing calls took, or, with ROW's
    // reason, none where it failed.
    std::optional<double> clip(const std::vector<Frame>& clip, int calls, Alignment* alignment,
                               Row& row)
    {
        const auto in = reinterpret_cast<DWORD_PTR>(&probe_);
        const auto out = reinterpret_cast<DWORD_PTR>(format_.data());
        const long long begun = answer(steps_("compress_begin", [&] {
            return ICSendMessage(compressor_, ICM_COMPRESS_BEGIN, in, out);
        }));
        if (begun != ICERR_OK) {
            row.reason = {"compress_failed",
                          "it refused to begin compressing the probe frame to the "
                          "format it proposed: " +
                              text::icerr_text(begun)};
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
            call.lpbiInput = &probe_;
            call.lpInput = input.data();
            call.lpckid = &chunk;
            call.lpdwFlags = &flags;
            call.lFrameNum = made;
            call.dwQuality = quality_;
            // The frame before, as a recorder hands it to a compressor that asks for it.
            if (made > 0) {
                call.lpbiPrev = &probe_;
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
            if (size > room_) {
                row.reason = {"compress_failed",
                              "it says its frame is " + std::to_string(size) +
                                  " bytes, more than the " + std::to_string(room_) +
                                  " bytes it was given"};
                took.reset();
                break;
            }
            if (alignment)
                alignment->add(
                    {{buffer_.begin(), buffer_.begin() + size}, (flags & AVIIF_KEYFRAME) != 0});
        }
        steps_("compress_end", [&] { return ICSendMessage(compressor_, ICM_COMPRESS_END, 0, 0); });
        return took;
    }

  private:
    HIC compressor_;
    const std::vector<unsigned char>& format_;
    std::size_t room_;
    DWORD quality_;
    Steps& steps_;
    BITMAPINFOHEADER probe_;
    std::vector<unsigned char> buffer_;
};

// Decompresses OUTPUTS (of FORMAT) in order with HANDLER, in one session,
// and compares each with the clip's frame. False, with nothing said, when it
// does not open or does not take the format; once it took it, the outcome
// goes into ROW: its figures, or the reason they are missing.
bool decompress(DWORD handler, const std::string& subject, const std::vector<unsigned char>& format,
                const std::vector<Output>& outputs, const std::vector<Frame>& clip, Steps& steps,
                Figures& figures, Row& row)
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
    const auto input = reinterpret_cast<BITMAPINFOHEADER*>(input_bytes.data());
    BITMAPINFOHEADER output{};
    bool takes = false;
    for (const WORD bits : {WORD{32}, WORD{24}}) {
        output = rgb_format(bits);
        takes = steps(
                    "decompress_query",
                    [&] {
                        return ICSendMessage(decompressor.get(), ICM_DECOMPRESS_QUERY,
                                             reinterpret_cast<DWORD_PTR>(input),
                                             reinterpret_cast<DWORD_PTR>(&output));
                    },
                    subject) == ICERR_OK;
        if (takes)
            break;
    }
    if (!takes)
        return false;

    const std::string who = subject.empty() ? "it cannot decompress its own output"
                                            : subject + " cannot decompress its output";
    const long long begun = answer(steps(
        "decompress_begin",
        [&] {
            return ICSendMessage(decompressor.get(), ICM_DECOMPRESS_BEGIN,
                                 reinterpret_cast<DWORD_PTR>(input),
                                 reinterpret_cast<DWORD_PTR>(&output));
        },
        subject));
    if (begun != ICERR_OK) {
        row.reason = {"decompress_failed", who + ": " + text::icerr_text(begun)};
        return true;
    }
    Frame frame(output.biSizeImage + kSlack);
    ClipCheck check(clip, rgb_comparer(output.biBitCount));
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        // An empty frame among the rest stands for the one before, as a player shows it.
        if (!outputs[i].bytes.empty()) {
            input->biSizeImage = static_cast<DWORD>(outputs[i].bytes.size());
            ICDECOMPRESS call{};
            call.dwFlags = i == 0 || outputs[i].key ? 0 : ICDECOMPRESS_NOTKEYFRAME;
            call.lpbiInput = input;
            call.lpInput = const_cast<unsigned char*>(outputs[i].bytes.data());
            call.lpbiOutput = &output;
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
        check.add(frame.data());
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
    figures.output_bit_count = output.biBitCount;
    figures.psnr_db = check.worst().psnr_db;
    figures.looks = check.worst().looks;
    return true;
}

}  // namespace

bool round_trip(HIC compressor, DWORD handler, const Installed& installed,
                const std::vector<unsigned char>& format, Steps& steps, Row& row)
{
    RoundTrip& trip = row.round_trip.emplace();
    BITMAPINFOHEADER probe;
    fill_probe_format(probe);
    const auto in = reinterpret_cast<DWORD_PTR>(&probe);
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
    const std::size_t room = most > 0 ? static_cast<std::size_t>(most) : 2 * probe_frame_bytes;

    DWORD quality = ICQUALITY_DEFAULT;
    DWORD preferred = 0;
    if (steps("quality",
              [&] {
                  return ICSendMessage(compressor, ICM_GETDEFAULTQUALITY,
                                       reinterpret_cast<DWORD_PTR>(&preferred), 0);
              }) == ICERR_OK &&
        preferred <= ICQUALITY_HIGH)
        quality = preferred;

    const std::vector<Frame> clip = make_clip();
    Compressing compressing(compressor, format, room, quality, steps);
    Alignment alignment(static_cast<int>(clip.size()));
    std::optional<double> fastest = compressing.clip(clip, 0, &alignment, row);
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
                              std::to_string(clip.size()) + " frames came out in " + calls +
                              " calls"};
        return false;
    }
    for (int again = 1; again < kTimedClips; ++again) {
        Row ignored;
        const std::optional<double> took = compressing.clip(clip, alignment.calls(), nullptr,
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
    figures.ratio = static_cast<double>(probe_frame_bytes) * static_cast<double>(outputs.size()) /
        all;
    figures.ms_per_frame = *fastest / static_cast<double>(outputs.size());

    // Its own decompressor first, then any other that takes its output. A
    // driver file that is no sound DLL is not loaded: the platform's loader
    // may change the process for it (map its first page, say).
    bool others = false;
    bool decompressed = decompress(handler, "", format, outputs, clip, steps, figures, row);
    for (std::size_t i = 0; i < installed.handlers.size() && !decompressed; ++i) {
        const DWORD other = installed.handlers[i];
        if (other != handler && installed.sound[i]) {
            others = true;
            decompressed = decompress(other, text::fourcc(other), format, outputs, clip, steps,
                                      figures, row);
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
        trip.figures = figures;
    }
    return others;
}

}  // namespace selnary::report
