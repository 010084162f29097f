// The playing child: reads a person's AVI file through the platform's AVI
// library, as players and scripts do, asks the platform which decompressor
// it picks for the file's format, and has that one and every other one that
// takes the format play the first frames, at each RGB depth it offers. Every
// size the file or a decompressor gives is bounded before it is used.

#include "report/child/child.h"
#include "report/frames/pictures.h"
#include "report/out/protocol.h"
#include "report/base/text.h"

#include <algorithm>
#include <cmath>  // for std::isinf
#include <cstring>  // for std::memcpy
#include <exception>
#include <limits>
#include <optional>

namespace selnary::report {
namespace {

// One compressed frame: far more than a frame of the largest size needs.
constexpr LONG kMostFrameBytes = 64 << 20;
// Key frames are counted through the index this far, and listed this far.
constexpr long long kMostKeyFrames = 1 << 20;
constexpr std::size_t kListedKeyFrames = 8;
// Room past every buffer a decompressor writes.
constexpr std::size_t kSlack = 4096;
// How far apart two decompressors' pictures are looked for.
constexpr int kMostOffset = 4;

// The file as the platform's AVI library reads it.
struct File {
    Movie movie;
    DWORD handler = 0;  // the stream's fccHandler
    std::vector<unsigned char> format;  // the header, palette or masks included
    Size size;
    std::vector<Output> frames;  // from the first key frame, as many as asked
};

// The palette or masks after the header, in words.
std::string colours_of(const std::vector<unsigned char>& format)
{
    BITMAPINFOHEADER header;
    std::memcpy(&header, format.data(), sizeof header);
    const std::size_t after = format.size() - std::min<std::size_t>(format.size(), header.biSize);
    if (header.biCompression == BI_BITFIELDS && after >= 12) {
        DWORD masks[3];
        std::memcpy(masks, format.data() + header.biSize, sizeof masks);
        return "masks " + text::hex(masks[0]) + " " + text::hex(masks[1]) + " " +
            text::hex(masks[2]);
    }
    if (header.biBitCount > 0 && header.biBitCount <= 8) {
        const std::size_t entries = std::min<std::size_t>(
            after / 4, header.biClrUsed ? header.biClrUsed : std::size_t{1} << header.biBitCount);
        return "a palette of " + std::to_string(entries) + " colours";
    }
    return {};
}

// Whether every heap of this process holds up.
bool heaps_sound()
{
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(ARRAYSIZE(heaps), heaps);
    for (DWORD i = 0; i < count && i < ARRAYSIZE(heaps); ++i)
        if (!HeapValidate(heaps[i], 0, nullptr))
            return false;
    return true;
}

// Why FILE's frame size cannot be played here, or none.
std::optional<std::string> absurd_size(const BITMAPINFOHEADER& header)
{
    const long long width = header.biWidth,
                    height = header.biHeight < 0 ? -static_cast<long long>(header.biHeight)
                                                 : header.biHeight;
    const std::string size = std::to_string(width) + " x " + std::to_string(height);
    if (width < 1 || height < 1)
        return "its frames are " + size + " pixels, which is no picture";
    if (width > kMostSide || height > kMostSide || width * height > kMostPixels)
        return "its frames are " + size +
            " pixels: more than this report plays (8192 a side, 3840 x 2160 in all)";
    return std::nullopt;
}

// Why a file is not played: the platform's reader refuses it, or it is
// more than this report plays.
struct Refusal {
    std::string why;
    bool platform = true;
};

Refusal ours(std::string why)
{
    return {std::move(why), false};
}

// The first video stream of PATH, and its first frames from the first key
// frame; why it cannot be read, in words, where it cannot.
std::optional<Refusal> read_file(const std::string& path, int count, Steps& steps, File& file)
{
    const std::wstring wide_path = text::wide(path);
    PAVIFILE avi = nullptr;
    const HRESULT opened = steps("avi_open", [&] {
        return AVIFileOpenW(&avi, wide_path.c_str(), OF_READ | OF_SHARE_DENY_WRITE, nullptr);
    });
    if (opened != AVIERR_OK || !avi)
        return Refusal{"the platform's AVI library does not open it (" + avierr_text(opened) + ")"};
    PAVISTREAM stream = nullptr;
    const HRESULT got = steps("avi_stream",
                              [&] { return AVIFileGetStream(avi, &stream, streamtypeVIDEO, 0); });
    // Released when done, the stream first.
    struct Release {
        PAVIFILE avi;
        PAVISTREAM& stream;
        ~Release()
        {
            if (stream)
                AVIStreamRelease(stream);
            AVIFileRelease(avi);
        }
    } release{avi, stream};
    if (got != AVIERR_OK || !stream)
        return Refusal{"it has no video stream (the platform's AVI library answers " +
                       avierr_text(got) + ")"};

    AVISTREAMINFOW info{};
    steps("avi_info", [&] { return AVIStreamInfoW(stream, &info, sizeof info); });
    // A length past 2^31 comes back negative: it is read as what the file says.
    const LONG start = AVIStreamStart(stream);
    const long long length = static_cast<unsigned long>(AVIStreamLength(stream));
    LONG size = 0;
    steps("avi_format", [&] { return AVIStreamReadFormat(stream, start, nullptr, &size); });
    if (size < static_cast<LONG>(sizeof(BITMAPINFOHEADER)) || size > kMostFormatBytes)
        return ours("its video format is " + std::to_string(size) +
                    " bytes long, where a picture's header is 40 bytes and a palette at most "
                    "1,024 more");
    file.format.assign(static_cast<std::size_t>(size), 0);
    const HRESULT read_format = steps("avi_format", [&] {
        return AVIStreamReadFormat(stream, start, file.format.data(), &size);
    });
    if (read_format != AVIERR_OK)
        return Refusal{"its video format cannot be read (" + avierr_text(read_format) + ")"};
    BITMAPINFOHEADER header;
    std::memcpy(&header, file.format.data(), sizeof header);
    if (header.biSize < sizeof header || header.biSize > file.format.size())
        return ours("its video format says its header is " + std::to_string(header.biSize) +
                    " bytes, in a format of " + std::to_string(file.format.size()));
    if (const auto absurd = absurd_size(header))
        return ours(*absurd);
    file.size = {header.biWidth, header.biHeight < 0 ? -header.biHeight : header.biHeight};

    Movie& movie = file.movie;
    file.handler = info.fccHandler;
    movie.handler = text::fourcc(info.fccHandler);
    movie.format = {header.biWidth, header.biHeight, header.biBitCount,
                    text::compression_text(header.biCompression)};
    movie.colours = colours_of(file.format);
    movie.frames = length;
    movie.rate = info.dwScale ? static_cast<double>(info.dwRate) / info.dwScale : 0;
    // The key frames as the index marks them; a sample found again ends the walk.
    long long first_key = -1;
    for (LONG at = AVIStreamFindSample(stream, start, FIND_KEY | FIND_NEXT);
         at >= start && at - start < length && movie.key_frames < kMostKeyFrames;) {
        if (first_key < 0)
            first_key = at;
        if (static_cast<std::size_t>(movie.key_frames) < kListedKeyFrames)
            movie.key_frame_list += (movie.key_frames ? ", " : "") + std::to_string(at - start + 1);
        ++movie.key_frames;
        const LONG next = AVIStreamFindSample(stream, at + 1, FIND_KEY | FIND_NEXT);
        if (next <= at)
            break;
        at = next;
    }
    if (movie.key_frames > static_cast<long long>(kListedKeyFrames))
        movie.key_frame_list += ", ...";
    movie.first_key = (first_key < 0 ? start : first_key) - start;

    const long long first = start + movie.first_key;
    const long long last = std::min<long long>(
        {start + length, first + count, std::numeric_limits<LONG>::max()});
    std::optional<Refusal> stopped;
    for (long long at = first; at < last; ++at) {
        const LONG frame = static_cast<LONG>(at);
        const std::string named = "frame " + std::to_string(at - start + 1);
        LONG bytes = 0, samples = 0;
        const HRESULT sized = steps("avi_read", [&] {
            return AVIStreamRead(stream, frame, 1, nullptr, 0, &bytes, &samples);
        });
        if (sized != AVIERR_OK) {
            stopped = Refusal{named + " cannot be read (" + avierr_text(sized) + ")"};
            break;
        }
        if (bytes < 0 || bytes > kMostFrameBytes) {
            stopped = ours(named + " is " + std::to_string(static_cast<unsigned long>(bytes)) +
                           " bytes long: more than any frame needs (64 MiB)");
            break;
        }
        Output& output = file.frames.emplace_back();
        output.bytes.assign(static_cast<std::size_t>(bytes), 0);
        const HRESULT read = steps("avi_read", [&] {
            return bytes
                ? AVIStreamRead(stream, frame, 1, output.bytes.data(), bytes, &bytes, &samples)
                : AVIERR_OK;
        });
        if (read != AVIERR_OK) {
            file.frames.pop_back();
            stopped = Refusal{named + " cannot be read (" + avierr_text(read) + ")"};
            break;
        }
        output.bytes.resize(static_cast<std::size_t>(std::max<LONG>(0, bytes)));
        output.key = AVIStreamIsKeyFrame(stream, frame);
    }
    // A reader that wrote past what it allocated leaves the process to fail
    // at whatever runs next: said here, where it happened, not blamed on
    // the decompressors.
    if (!heaps_sound())
        return Refusal{"the platform's AVI library corrupted its memory reading it: programs "
                       "that read it so may crash"};
    if (file.frames.empty())
        return stopped ? *stopped : Refusal{"it has no frames"};
    if (stopped)
        movie.notes = stopped->why;
    return std::nullopt;
}

// How a picture of HEADER's format turns into 32-bit RGB, where it can.
const PixelFormat* rgb_of(const std::vector<unsigned char>& header_bytes)
{
    BITMAPINFOHEADER header;
    std::memcpy(&header, header_bytes.data(), sizeof header);
    if (header.biHeight < 0)
        return nullptr;
    if (header.biCompression == BI_RGB)
        for (const PixelFormat* format : {&kRgb32, &kRgb24, find_format("rgb555")})
            if (format->bit_count == header.biBitCount)
                return format;
    if (header.biCompression == BI_BITFIELDS && header.biBitCount == 16 &&
        header_bytes.size() >= header.biSize + 12) {
        DWORD masks[3];
        std::memcpy(masks, header_bytes.data() + header.biSize, sizeof masks);
        if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F)
            return find_format("rgb565");
    }
    return nullptr;
}

// The pictures a decompressor gives at one depth, each as 32-bit RGB, as a
// player shows them: an empty frame leaves the picture as it was.
struct Run {
    std::vector<Frame> pictures;
    std::optional<int> failed_at;
    std::optional<std::string> failure;
};

Run run(HIC decompressor, const File& file, std::vector<unsigned char> out_bytes,
        const PixelFormat& out_format, Steps& steps, const std::string& subject)
{
    Run ran;
    std::vector<unsigned char> in_bytes = file.format;
    BITMAPINFOHEADER* const in = header_of(in_bytes);
    BITMAPINFOHEADER* const out = header_of(out_bytes);
    const std::size_t bytes = frame_bytes(out_format, file.size);
    const long long begun = answer(steps(
        "decompress_begin",
        [&] {
            return ICSendMessage(decompressor, ICM_DECOMPRESS_BEGIN,
                                 reinterpret_cast<DWORD_PTR>(in), reinterpret_cast<DWORD_PTR>(out));
        },
        subject));
    if (begun != ICERR_OK) {
        ran.failed_at = 1;
        ran.failure = "ICDecompressBegin answered " + text::icerr_text(begun);
        return ran;
    }
    // Black before the first picture, as a player's window is.
    Frame picture(bytes + kSlack, 0);
    for (std::size_t i = 0; i < file.frames.size(); ++i) {
        const Output& frame = file.frames[i];
        if (!frame.bytes.empty()) {
            in->biSizeImage = static_cast<DWORD>(frame.bytes.size());
            ICDECOMPRESS call{};
            call.dwFlags = frame.key ? 0 : ICDECOMPRESS_NOTKEYFRAME;
            call.lpbiInput = in;
            call.lpInput = const_cast<unsigned char*>(frame.bytes.data());
            call.lpbiOutput = out;
            call.lpOutput = picture.data();
            const long long done = answer(steps(
                "decompress",
                [&] {
                    return ICSendMessage(decompressor, ICM_DECOMPRESS,
                                         reinterpret_cast<DWORD_PTR>(&call), sizeof call);
                },
                subject));
            if (done != ICERR_OK) {
                ran.failed_at = static_cast<int>(file.movie.first_key + i + 1);
                ran.failure = "ICDecompress answered " + text::icerr_text(done);
                break;
            }
        }
        ran.pictures.push_back(to_rgb(out_format, file.size, picture.data()));
    }
    steps(
        "decompress_end", [&] { return ICSendMessage(decompressor, ICM_DECOMPRESS_END, 0, 0); },
        subject);
    return ran;
}

// Pictures this close to one another differ only by how a depth widens
// 5 or 6 bits to 8.
constexpr double kNear = 35;

// PICTURE with red and blue swapped.
Frame swapped(Frame picture)
{
    for (std::size_t i = 0; i + 2 < picture.size(); i += 4)
        std::swap(picture[i], picture[i + 2]);
    return picture;
}

bool black(const Frame& picture)
{
    for (std::size_t i = 0; i < picture.size(); i += 4)
        if (picture[i] || picture[i + 1] || picture[i + 2])
            return false;
    return true;
}

// The lowest PSNR of A's pictures against B's, each at its own place plus
// OFFSET in B, where both show something; none where they are the same.
// False where no two overlap.
bool agreement(const std::vector<Frame>& a, const std::vector<Frame>& b, int offset, Size size,
               std::optional<double>& worst)
{
    worst.reset();
    bool compared = false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const long long j = static_cast<long long>(i) - offset;
        if (j < 0 || j >= static_cast<long long>(b.size()) || black(a[i]) ||
            black(b[static_cast<std::size_t>(j)]))
            continue;
        compared = true;
        const Comparison seen = compare(b[static_cast<std::size_t>(j)], a[i].data(), 32, size);
        if (seen.psnr_db && (!worst || *seen.psnr_db < *worst))
            worst = seen.psnr_db;
    }
    return compared;
}

// What DECOMPRESSOR, which takes the file's format, makes of its first
// frames at its own depth, then at 24 and 32 bits; its own pictures into
// PICTURES; compared with REFERENCE's (the platform's pick, AGAINST) where given.
Decoded play_frames(HIC decompressor, const File& file, Steps& steps, const std::string& subject,
                    std::vector<Frame>& pictures, const std::vector<Frame>* reference,
                    const std::string& against)
{
    std::vector<unsigned char> in_bytes = file.format;
    BITMAPINFOHEADER* const in = header_of(in_bytes);
    // Its own format first, where it gives one of RGB's.
    std::vector<std::vector<unsigned char>> offered;
    const long long own_size = answer(steps(
        "decompress_format",
        [&] {
            return ICSendMessage(decompressor, ICM_DECOMPRESS_GET_FORMAT,
                                 reinterpret_cast<DWORD_PTR>(in), 0);
        },
        subject));
    if (own_size >= static_cast<long long>(sizeof(BITMAPINFOHEADER)) &&
        own_size <= kMostFormatBytes) {
        std::vector<unsigned char> own(static_cast<std::size_t>(own_size) + kSlack);
        const long long given = answer(steps(
            "decompress_format",
            [&] {
                return ICSendMessage(decompressor, ICM_DECOMPRESS_GET_FORMAT,
                                     reinterpret_cast<DWORD_PTR>(in),
                                     reinterpret_cast<DWORD_PTR>(own.data()));
            },
            subject));
        own.resize(static_cast<std::size_t>(own_size));
        if (given == ICERR_OK && header_of(own)->biWidth == file.size.width &&
            header_of(own)->biHeight == file.size.height && rgb_of(own))
            offered.push_back(own);
    }
    for (const PixelFormat* rgb : {&kRgb32, &kRgb24})
        if (offered.empty() || header_of(offered.front())->biBitCount != rgb->bit_count ||
            header_of(offered.front())->biCompression != BI_RGB)
            offered.push_back(header_bytes(*rgb, file.size));

    Decoded decoded;
    bool have_own = false;
    for (std::vector<unsigned char>& out : offered) {
        const long long takes = answer(steps(
            "decompress_query",
            [&] {
                return ICSendMessage(decompressor, ICM_DECOMPRESS_QUERY,
                                     reinterpret_cast<DWORD_PTR>(in),
                                     reinterpret_cast<DWORD_PTR>(out.data()));
            },
            subject));
        if (takes != ICERR_OK)
            continue;
        const PixelFormat& format = *rgb_of(out);
        Run ran = run(decompressor, file, out, format, steps, subject);
        if (!have_own) {
            have_own = true;
            decoded.output_bit_count = format.bit_count;
            decoded.frames = static_cast<int>(ran.pictures.size());
            decoded.failed_at = ran.failed_at;
            decoded.failure = ran.failure;
            pictures = std::move(ran.pictures);
            continue;
        }
        Depth depth;
        depth.bit_count = format.bit_count;
        if (ran.failed_at)
            depth.problem = "frame " + std::to_string(*ran.failed_at) +
                " does not decode: " + *ran.failure;
        // Red and blue swapped, where its first picture is its own but for
        // that (to within what its depths' widening of 5 bits differs by):
        // then the others are also compared with them put back.
        const auto lowest = [](std::optional<double>& worst, const Comparison& seen) {
            if (seen.psnr_db && (!worst || *seen.psnr_db < *worst))
                worst = seen.psnr_db;
        };
        for (std::size_t i = 0; i < ran.pictures.size() && i < pictures.size(); ++i) {
            const Comparison seen = compare(pictures[i], ran.pictures[i].data(), 32, file.size);
            lowest(depth.psnr_db, seen);
            const Comparison back = compare(pictures[i], swapped(ran.pictures[i]).data(), 32,
                                            file.size);
            if (i == 0 && seen.psnr_db)
                depth.looks = seen.looks                    ? seen.looks
                    : back.psnr_db.value_or(kNear) >= kNear ? std::optional(Looks::swapped)
                                                            : std::nullopt;
            if (depth.looks == Looks::swapped) {
                depth.swapped_back_db = depth.swapped_back_db.value_or(
                    std::numeric_limits<double>::infinity());
                lowest(depth.swapped_back_db, back);
            }
        }
        if (depth.swapped_back_db && std::isinf(*depth.swapped_back_db))
            depth.swapped_back_db.reset();
        (format.bit_count == 24 ? decoded.rgb24 : decoded.rgb32) = depth;
    }
    if (!have_own) {
        decoded.failed_at = 1;
        decoded.failure = "it takes the format, but decompresses it to none of RGB's depths";
        return decoded;
    }
    // Empty pictures first are late ones; the others are looked at for change.
    const auto shown = std::find_if(pictures.begin(), pictures.end(),
                                    [](const Frame& picture) { return !black(picture); });
    decoded.blank = shown == pictures.end();
    // Frames the file leaves empty show nothing new: only those sent count.
    for (auto picture = pictures.begin(); picture != shown && !decoded.blank; ++picture)
        decoded.delay_frames +=
            !file.frames[static_cast<std::size_t>(picture - pictures.begin())].bytes.empty();
    for (auto later = shown; later != pictures.end() && !decoded.changes; ++later)
        decoded.changes = *later != *shown;
    if (reference && !reference->empty() && !pictures.empty()) {
        decoded.against = against;
        std::optional<double> best;
        for (int offset = 0; offset <= 2 * kMostOffset; ++offset) {
            // 0, 1, -1, 2, -2, ...: the nearest of equals.
            const int at = offset % 2 ? (offset + 1) / 2 : -offset / 2;
            std::optional<double> worst;
            if (!agreement(pictures, *reference, at, file.size, worst))
                continue;
            const double score = worst.value_or(std::numeric_limits<double>::infinity());
            if (!decoded.offset_frames || score > best.value_or(-1)) {
                decoded.offset_frames = at;
                decoded.agreement_db = worst;
                best = score;
            }
        }
    }
    return decoded;
}

// Saves a decompressor's first picture as CODE.bmp and its pictures as
// CODE.avi, where --save asks.
void save_pictures(const std::string& folder, const std::string& code, const File& file,
                   const std::vector<Frame>& pictures)
{
    if (folder.empty() || pictures.empty())
        return;
    const auto shown = std::find_if(pictures.begin(), pictures.end(),
                                    [](const Frame& picture) { return !black(picture); });
    const std::vector<unsigned char> bmp = bmp_file(
        file.size, shown == pictures.end() ? pictures.front() : *shown);
    save_text(folder, saved_name(code, nullptr, "bmp"), std::string(bmp.begin(), bmp.end()));
    Stream stream;
    stream.format = header_bytes(kRgb32, file.size);
    for (const Frame& picture : pictures)
        stream.frames.push_back({picture, true});
    write_avi(folder + "\\" + saved_name(code, nullptr, "avi"), stream);
}

std::string base_name(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    return text::lower_ascii(slash == std::string::npos ? path : path.substr(slash + 1));
}

// The platform's pick for the file's format, played; its pictures into PICTURES.
Pick pick_for(const File& file, const Installed& installed, const std::string& save, Steps& steps,
              std::vector<Frame>& pictures)
{
    Pick pick;
    std::vector<unsigned char> in_bytes = file.format;
    const Opened located(steps,
                         steps("locate",
                               [&] {
                                   return ICLocate(ICTYPE_VIDEO, file.handler, header_of(in_bytes),
                                                   nullptr, ICMODE_DECOMPRESS);
                               }),
                         "close");
    pick.found = static_cast<bool>(located);
    if (!located)
        return pick;
    ICINFO info{};
    info.dwSize = sizeof info;
    steps("describe", [&] { return ICGetInfo(located.get(), &info, sizeof info); });
    pick.says = text::fourcc(info.fccHandler);
    pick.description = bounded(info.szDescription);
    pick.driver = bounded(info.szDriver);
    // Its registration, where it names its driver; else the parent finds it
    // among those that take the format.
    for (std::size_t i = 0; i < installed.handlers.size() && !pick.index && !pick.driver.empty();
         ++i)
        if (base_name(text::utf8(installed.drivers[i])) == base_name(pick.driver))
            pick.index = static_cast<int>(i);
    if (pick.index) {
        const auto at = static_cast<std::size_t>(*pick.index);
        pick.code = text::fourcc(installed.handlers[at]);
        if (pick.driver.empty())
            pick.driver = text::utf8(installed.drivers[at]);
    }
    pick.decoded = play_frames(located.get(), file, steps, {}, pictures, nullptr, {});
    // Saved as its registration's; one found only by the parent is saved by its own row.
    if (pick.code)
        save_pictures(save, *pick.code, file, pictures);
    return pick;
}

// Decompressor INDEX asked about the file, and where it takes it, playing it.
Player player_for(int index, const File& file, const Installed& installed, const Pick& pick,
                  const std::vector<Frame>* reference, const std::string& save, Steps& steps)
{
    const auto at = static_cast<std::size_t>(index);
    Player player;
    player.index = index;
    player.code = text::fourcc(installed.handlers[at]);
    player.driver = text::utf8(installed.drivers[at]);
    player.picked = pick.index == index;
    // One whose driver file is no sound DLL is not loaded: the parent says
    // why. One installed as a function in this process has no file.
    if (!installed.sound[at] && !installed.drivers[at].empty())
        return player;
    const Opened decompressor(
        steps,
        steps("decompress_open",
              [&] { return ICOpen(ICTYPE_VIDEO, installed.handlers[at], ICMODE_DECOMPRESS); }),
        "close");
    player.opens = static_cast<bool>(decompressor);
    if (!decompressor)
        return player;
    ICINFO info{};
    info.dwSize = sizeof info;
    steps("describe", [&] { return ICGetInfo(decompressor.get(), &info, sizeof info); });
    player.description = bounded(info.szDescription);
    std::vector<unsigned char> in_bytes = file.format;
    const long long query = answer(steps("decompress_query", [&] {
        return ICSendMessage(decompressor.get(), ICM_DECOMPRESS_QUERY,
                             reinterpret_cast<DWORD_PTR>(in_bytes.data()), 0);
    }));
    player.query_result = query;
    player.takes = query == ICERR_OK;
    if (!player.takes) {
        player.reason = {"refuses_format",
                         "it does not take the file's format: ICDecompressQuery "
                         "answered " +
                             text::icerr_text(query)};
        return player;
    }
    // The pick itself, played already in this process: the parent copies it.
    if (player.picked && reference)
        return player;
    std::vector<Frame> pictures;
    player.decoded = play_frames(decompressor.get(), file, steps, {}, pictures,
                                 player.picked ? nullptr : reference,
                                 pick.code.value_or(pick.says));
    save_pictures(save, player.code, file, pictures);
    return player;
}

// Plays the file WATCH names from unit WATCH.first on, into PLAYING,
// telling the parent on CHANNEL as it goes, where there is one.
void play_units(const Watch& watch, HANDLE channel, Playing& playing,
                const Installed* asked = nullptr)
{
    const auto tell = [channel](const std::string& message) {
        if (channel)
            send(channel, message);
    };
    AVIFileInit();
    File file;
    Steps reading(channel, -1);
    if (const auto problem = read_file(watch.file, watch.frames, reading, file)) {
        playing.refused = problem->why;
        tell(protocol::refused(problem->why, problem->platform));
        return;
    }
    playing.movie = file.movie;
    tell(protocol::movie(file.movie));
    const Installed installed = asked ? *asked : list_installed(channel);
    tell(protocol::count(static_cast<int>(installed.handlers.size()) + 1));
    // Unit 0, the pick, is played here also where this process goes on
    // from a later unit, so that the others are compared with it.
    std::vector<Frame> reference;
    bool played = false;
    if (watch.first == 0 || watch.reference) {
        Steps steps(channel, 0);
        playing.pick = pick_for(file, installed, watch.first == 0 ? watch.save : std::string(),
                                steps, reference);
        played = playing.pick.decoded && !playing.pick.decoded->failed_at;
        tell(protocol::pick(playing.pick));
    }
    for (int unit = std::max(1, watch.first); unit <= static_cast<int>(installed.handlers.size());
         ++unit) {
        SetUnhandledExceptionFilter(end_on_fault);
        Steps steps(channel, unit);
        playing.players.push_back(player_for(unit - 1, file, installed, playing.pick,
                                             played ? &reference : nullptr, watch.save, steps));
        tell(protocol::player(playing.players.back()));
    }
}

}  // namespace

int play_child(const Watch& watch)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(end_on_fault);
    const HANDLE channel = reinterpret_cast<HANDLE>(watch.channel);
    try {
        Playing playing;
        play_units(watch, channel, playing);
    } catch (const std::exception& failure) {
        send(channel, protocol::failed(failure.what()));
        return 1;
    }
    return 0;
}

Playing play_here(const std::string& path, int frames, const std::string& save,
                  const Installed* installed)
{
    Watch watch;
    watch.file = path;
    watch.frames = frames;
    watch.save = save;
    Playing playing;
    play_units(watch, nullptr, playing, installed);
    return playing;
}

}  // namespace selnary::report
