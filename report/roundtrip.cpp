// The proof that a compressor works: the probe frame compressed as a key
// frame, decompressed again, and compared. Whatever the compressor answers
// (a size, a result) is bounded before it is used.

#include "platform/platform.h"
#include "probe/probe.h"
#include "report/examine.h"

#include <cmath>  // for std::log10
#include <cstdint>
#include <cstring>  // for std::memcpy

namespace selnary::report {
namespace {

constexpr int kSide = 256;
constexpr std::size_t kPixels = kSide * kSide;
constexpr std::size_t kFrameBytes = kPixels * 4;
// A frame may grow a little when compressed, not beyond this.
constexpr long long kMostCompressedBytes = 64ll << 20;
// Room past every buffer a compressor writes, so that a small overrun costs
// nothing but its own result.
constexpr std::size_t kSlack = 64 * 1024;
constexpr int kTries = 3;

// The frame compressed: gradients above, sharp edges below left and noise
// below right, the same bytes on every machine. The fourth byte is unused.
std::vector<unsigned char> probe_frame()
{
    std::vector<unsigned char> frame(kFrameBytes);
    std::uint32_t noise = 0x2545F491u;
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            unsigned b, g, r;
            if (y < kSide / 2) {
                b = static_cast<unsigned>(x);
                g = static_cast<unsigned>(y * 2);
                r = static_cast<unsigned>(255 - x);
            } else if (x < kSide / 2) {
                const bool light = (x / 16 + y / 16) % 2 != 0;
                b = g = r = light ? 235 : 16;
                if (x == y - kSide / 2)
                    r = 255, g = b = 0;
            } else {
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                b = noise & 0xFF;
                g = (noise >> 8) & 0xFF;
                r = (noise >> 16) & 0xFF;
            }
            unsigned char* pixel = &frame[(static_cast<std::size_t>(y) * kSide + x) * 4];
            pixel[0] = static_cast<unsigned char>(b);
            pixel[1] = static_cast<unsigned char>(g);
            pixel[2] = static_cast<unsigned char>(r);
            pixel[3] = 0;
        }
    }
    return frame;
}

BITMAPINFOHEADER rgb_format(WORD bits)
{
    BITMAPINFOHEADER format;
    fill_probe_format(format);
    format.biBitCount = bits;
    format.biSizeImage = static_cast<DWORD>(kPixels * bits / 8);
    return format;
}

double now_ms()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// How the colours came back: exact, or the PSNR over B, G and R, and
// whether it is only the frame upside down or with red and blue swapped.
void compare(const std::vector<unsigned char>& sent, const unsigned char* got, int bits,
             RoundTrip& trip)
{
    const std::size_t step = static_cast<std::size_t>(bits / 8);
    const auto at = [&](std::size_t row, std::size_t column) {
        return got + (row * kSide + column) * step;
    };
    double squares = 0;
    bool flipped = true, swapped = true;
    for (std::size_t y = 0; y < kSide; ++y) {
        for (std::size_t x = 0; x < kSide; ++x) {
            const unsigned char* in = &sent[(y * kSide + x) * 4];
            const unsigned char* out = at(y, x);
            for (int c = 0; c < 3; ++c) {
                const double d = static_cast<double>(in[c]) - out[c];
                squares += d * d;
            }
            const unsigned char* mirrored = at(kSide - 1 - y, x);
            flipped = flipped && std::memcmp(in, mirrored, 3) == 0;
            swapped = swapped && in[0] == out[2] && in[1] == out[1] && in[2] == out[0];
        }
    }
    trip.exact = squares == 0;
    if (trip.exact)
        return;
    trip.psnr_db = 10 * std::log10(255.0 * 255.0 * 3 * kPixels / squares);
    trip.looks = flipped ? "upside down" : swapped ? "with red and blue swapped" : "";
}

// Decompresses DATA (FORMAT) with HANDLER. False, with nothing said, when
// it does not open or does not take the format; a failure once it took it
// goes into ROW's reason.
bool decompress(DWORD handler, const std::string& subject, const std::vector<unsigned char>& format,
                const std::vector<unsigned char>& data, const std::vector<unsigned char>& sent,
                Steps& steps, Row& row)
{
    const auto input = reinterpret_cast<const BITMAPINFOHEADER*>(format.data());
    HIC decompressor = steps(
        "decompress_open", [&] { return ICOpen(ICTYPE_VIDEO, handler, ICMODE_DECOMPRESS); },
        subject);
    if (!decompressor)
        return false;
    BITMAPINFOHEADER output{};
    bool takes = false;
    for (const WORD bits : {WORD{32}, WORD{24}}) {
        output = rgb_format(bits);
        takes = steps(
                    "decompress_query",
                    [&] {
                        return ICSendMessage(decompressor, ICM_DECOMPRESS_QUERY,
                                             reinterpret_cast<DWORD_PTR>(input),
                                             reinterpret_cast<DWORD_PTR>(&output));
                    },
                    subject) == ICERR_OK;
        if (takes)
            break;
    }
    if (takes) {
        std::vector<unsigned char> frame(kFrameBytes + kSlack);
        const long long begun = answer(steps(
            "decompress_begin",
            [&] {
                return ICSendMessage(decompressor, ICM_DECOMPRESS_BEGIN,
                                     reinterpret_cast<DWORD_PTR>(input),
                                     reinterpret_cast<DWORD_PTR>(&output));
            },
            subject));
        long long done = begun;
        if (begun == ICERR_OK) {
            ICDECOMPRESS call{};
            call.lpbiInput = const_cast<BITMAPINFOHEADER*>(input);
            call.lpInput = const_cast<unsigned char*>(data.data());
            call.lpbiOutput = &output;
            call.lpOutput = frame.data();
            done = answer(steps(
                "decompress",
                [&] {
                    return ICSendMessage(decompressor, ICM_DECOMPRESS,
                                         reinterpret_cast<DWORD_PTR>(&call), sizeof call);
                },
                subject));
            steps(
                "decompress_end",
                [&] { return ICSendMessage(decompressor, ICM_DECOMPRESS_END, 0, 0); }, subject);
        }
        if (done != ICERR_OK) {
            row.reason = {"decompress_failed",
                          (subject.empty() ? "cannot decompress its own output"
                                           : subject + " cannot decompress its output") +
                              ": " + icerr_text(done)};
        } else {
            RoundTrip& trip = row.round_trip;
            trip.worked = true;
            trip.decompressor = subject.empty() ? row.code : subject;
            trip.output_bits = output.biBitCount;
            compare(sent, frame.data(), output.biBitCount, trip);
        }
    }
    steps(
        "decompress_close", [&] { return ICClose(decompressor); }, subject);
    return takes;
}

}  // namespace

bool round_trip(HIC compressor, DWORD handler, const Installed& installed,
                const std::vector<unsigned char>& format, Steps& steps, Row& row)
{
    RoundTrip& trip = row.round_trip;
    trip.tried = true;
    BITMAPINFOHEADER probe;
    fill_probe_format(probe);
    const auto in = reinterpret_cast<DWORD_PTR>(&probe);
    const auto out = reinterpret_cast<DWORD_PTR>(format.data());

    // Room for the compressed frame: what it says it may need, within reason;
    // twice the frame where it does not say.
    const long long most = answer(steps("compress_size", [&] {
        return ICSendMessage(compressor, ICM_COMPRESS_GET_SIZE, in, out);
    }));
    if (most > kMostCompressedBytes) {
        row.reason = {"absurd_size",
                      "it claims a compressed frame may need " + std::to_string(most) + " bytes"};
        return false;
    }
    const std::size_t room = most > 0 ? static_cast<std::size_t>(most) : 2 * kFrameBytes;

    DWORD quality = ICQUALITY_DEFAULT;
    DWORD preferred = 0;
    if (steps("quality",
              [&] {
                  return ICSendMessage(compressor, ICM_GETDEFAULTQUALITY,
                                       reinterpret_cast<DWORD_PTR>(&preferred), 0);
              }) == ICERR_OK &&
        preferred <= ICQUALITY_HIGH)
        quality = preferred;

    const long long begun = answer(steps(
        "compress_begin", [&] { return ICSendMessage(compressor, ICM_COMPRESS_BEGIN, in, out); }));
    if (begun != ICERR_OK) {
        row.reason = {"compress_failed",
                      "it refused to begin compressing the probe frame to the "
                      "format it proposed: " +
                          icerr_text(begun)};
        return false;
    }
    const std::vector<unsigned char> sent = probe_frame();
    std::vector<unsigned char> frame, data(room + kSlack), compressed_format;
    long long result = ICERR_OK;
    DWORD size = 0;
    for (int i = 0; i < kTries && result == ICERR_OK; ++i) {
        frame = sent;  // in case it writes to its input
        compressed_format = format;
        auto header = reinterpret_cast<BITMAPINFOHEADER*>(compressed_format.data());
        header->biSizeImage = static_cast<DWORD>(room);
        DWORD chunk = 0, flags = 0;
        ICCOMPRESS call{};
        call.dwFlags = ICCOMPRESS_KEYFRAME;
        call.lpbiOutput = header;
        call.lpOutput = data.data();
        call.lpbiInput = &probe;
        call.lpInput = frame.data();
        call.lpckid = &chunk;
        call.lpdwFlags = &flags;
        call.lFrameNum = i;
        call.dwQuality = quality;
        const double started = now_ms();
        result = answer(steps("compress", [&] {
            return ICSendMessage(compressor, ICM_COMPRESS, reinterpret_cast<DWORD_PTR>(&call),
                                 sizeof call);
        }));
        const double took = now_ms() - started;
        if (i == 0 || took < trip.ms_per_frame)
            trip.ms_per_frame = took;
        size = header->biSizeImage;
    }
    steps("compress_end", [&] { return ICSendMessage(compressor, ICM_COMPRESS_END, 0, 0); });
    if (result != ICERR_OK) {
        row.reason = {"compress_failed",
                      "it could not compress the probe frame: " + icerr_text(result)};
        return false;
    }
    if (size == 0) {
        row.reason = {"compress_failed", "it returned an empty frame"};
        return false;
    }
    if (size > room) {
        row.reason = {"compress_failed",
                      "it says its frame is " + std::to_string(size) + " bytes, more than the " +
                          std::to_string(room) + " bytes it was given"};
        return false;
    }
    trip.compressed_bytes = size;
    data.resize(size);

    // Its own decompressor first, then any other that takes its output. A
    // driver file that is no sound DLL is not loaded: the platform's loader
    // may change the process for it (map its first page, say).
    if (decompress(handler, "", compressed_format, data, sent, steps, row))
        return false;
    for (std::size_t i = 0; i < installed.handlers.size(); ++i) {
        const DWORD other = installed.handlers[i];
        if (other != handler && installed.sound[i] &&
            decompress(other, fourcc(other), compressed_format, data, sent, steps, row))
            return true;
    }
    row.reason = {"no_decompressor",
                  "cannot decompress its own output, and no installed decompressor takes it"};
    return true;
}

}  // namespace selnary::report
