// A test compressor: the smallest Video for Windows driver the chooser lists
// that really compresses. It describes itself with its bitness and the
// handler it was opened as, takes the probe format, proposes to compress it
// to its own code at 16 bits (RGB 5:6:5, lossy), decompresses that back to
// 32- or 24-bit RGB, offers Configure but no About, and appends one line per
// message to the file named by SELNARY_COMPRESSOR_LOG:
//
//   open <instance> <handler>   opened for compression
//   open-decompress <instance>  opened to decompress
//   refuse <mode>               an open in any other mode
//   info <instance>             ICM_GETINFO
//   query <instance> ok|bad     ICM_COMPRESS_QUERY for a format
//   close <instance>            DRV_CLOSE
//
// Variants, by environment variable; a value applies to every handler the
// DLL is registered as, or, written HANDLER:VALUE (several separated by
// spaces), to that handler alone:
//   SELNARY_COMPRESSOR_FAULT=open       fault when opened, as a broken driver would
//   SELNARY_COMPRESSOR_FAULT=hang       never return from the open
//   SELNARY_COMPRESSOR_FAULT=compress   fault while compressing
//   SELNARY_COMPRESSOR_FAULT=decompress fault while decompressing a frame
//   SELNARY_COMPRESSOR_FAULT=stall      never return from decompressing a frame
//   SELNARY_COMPRESSOR_DECODES=CODE     decompress the frames of CODE's compressor
//       instead of its own, and say CODE when asked (ICGetInfo), as a codec
//       installed under another code does
//   SELNARY_COMPRESSOR_BITS=N           take N-bit RGB instead of 32-bit
//   SELNARY_COMPRESSOR_OPEN=refuse      refuse every open
//   SELNARY_COMPRESSOR_QUERY=N          answer N when asked about a format
//   SELNARY_COMPRESSOR_CODEC=exact      keep all 24 bits of colour (proposes 24 bits)
//   SELNARY_COMPRESSOR_CODEC=flip       exact, but decompress upside down
//   SELNARY_COMPRESSOR_CODEC=oneway     compress, but never decompress
//   SELNARY_COMPRESSOR_TEXT=unicode     describe itself with letters beyond ASCII
//   SELNARY_COMPRESSOR_STREAM=...       an inter-frame coder of all 24 bits, as MPEG-4
//       and H.264 encoders are: the first frame after Begin is a key frame, whatever
//       was asked, and each later one a delta frame (the picture's shift from the
//       frame before, found by searching, and what still differs), which decodes
//       only after the frames before it. One of: inter (just that), delay (its
//       output two frames behind its input, 0-byte frames first), skip (one frame
//       behind, a one-byte skip frame first), unmarked (never marks a key frame),
//       never (gives 0-byte frames only), stale (its decompressor ignores delta
//       frames), nodelta (its decompressor refuses them), late (its decompressor
//       holds one picture back: the first call shows none, each later one the
//       picture before), counted (as delay, but only where the frame count was
//       announced before Begin, ICM_COMPRESS_FRAMES_INFO: without it, 0-byte
//       frames only; a frame numbered past the count is refused), bframes (as
//       an MPEG-4 encoder with 2 B-frames: the key frame, then a one-byte 0x7F
//       skip frame, flags 0, for each frame it holds, then frames in coding
//       order, each anchor packed with the B-frame it lets decode; its
//       decompressor gives them in display order, repeating the picture for a
//       skip frame, so its pictures come two calls after their frames)
//   The stream variants take the frame count announced; the others answer it
//   ICERR_UNSUPPORTED, as most intra-frame codecs do. Every variant has a
//   state (ICGetState, 12 bytes), its settings as configured.
//   SELNARY_COMPRESSOR_MISBEHAVE=...    one of: stdout (write to the standard handles
//       at every message), smallsize (say a frame may need 4096 bytes less than it
//       writes), bigformat (claim a 2 GiB output format), errformat
//       (answer the format's size with ICERR_UNSUPPORTED), unterminated (a
//       description with no terminating zero), exit (end the process when asked
//       about a format), msgbox (show a message box then), chdir (change the
//       current folder when opened), scribble (write into the frame it is
//       given to compress), forget (reset its settings to its defaults at
//       ICCompressEnd)
//   SELNARY_COMPRESSOR_TAKES=NAME,...  take these input formats (rgb24 ... rgb32-topdown,
//       as the report names them) at any size instead, keep each frame's bytes as they
//       are, and give them back in the same format only
//   SELNARY_COMPRESSOR_DECODE=rgb       with TAKES, give them back as 32-bit RGB only,
//       by the report's own conversion
//   SELNARY_COMPRESSOR_BEGIN=even       with TAKES, say yes to any size when asked, but
//       refuse Begin for an odd width or height, as some real encoders do
//   SELNARY_COMPRESSOR_FAULT=NAME       with TAKES, fault when asked about format NAME
//   SELNARY_COMPRESSOR_HANG=NAME        with TAKES, never answer when asked about format NAME
// Built with SELNARY_NEEDS_HELPER, it needs slnyhelp.dll to load.

#include "platform/platform.h"
#include "probe/probe.h"
#include "report/frames/formats.h"
#include "report/base/text.h"

#include <cstdint>
#include <cstring>  // for std::memcpy
#include <cstdlib>  // for std::abs
#include <deque>
#include <string>
#include <vector>

#ifdef SELNARY_NEEDS_HELPER
extern "C" __declspec(dllimport) int selnary_helper();
#endif

namespace {

using Bytes = std::vector<unsigned char>;

// A frame as the stream variants hold it: blue, green and red, rows of
// kSide pixels bottom-up.
constexpr int kSide = selnary::probe_width;
static_assert(selnary::probe_height == kSide, "the probe frame is square");
constexpr std::size_t kPlainBytes = kSide * kSide * 3;

// Its settings, as ICGetState gives them: a tag and a quality, configured
// to other than its defaults.
struct State {
    char tag[8] = {'s', 'l', 'n', 's', 't', 'a', 't', 'e'};
    DWORD quality = 0;
};
constexpr DWORD kConfiguredQuality = 7500;

struct Instance {
    DWORD handler = 0;
    DWORD decodes = 0;  // the code whose frames it decompresses: its own, or DECODES's
    unsigned serial = 0;
    bool decompress = false;
    State state{{'s', 'l', 'n', 's', 't', 'a', 't', 'e'}, kConfiguredQuality};
    // The frame count announced for the next Begin, and the one in force.
    long announced = 0, count = 0;
    // Between Begin and End: the frame the next one is coded against (the last
    // sent, or the last decompressed), how many were sent, and those held back.
    Bytes previous;
    int sent = 0;
    std::deque<Bytes> held;
    // The bframes variant's B-frames waiting for their anchor; and, to
    // decompress, the anchor decoded but not yet shown. The late variant's
    // picture not yet shown.
    std::deque<Bytes> waiting;
    Bytes anchor, pending, late;
};

// The platform first opens a driver without ICOPEN, for the session; that
// open must succeed and is not an open for compression. Instances are heap
// pointers, so never this value.
constexpr LRESULT kSession = 1;

unsigned g_opened = 0;

std::string environment(const char* name)
{
    char value[1024];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

void log_line(const std::string& text)
{
    const std::string path = environment("SELNARY_COMPRESSOR_LOG");
    if (path.empty())
        return;
    const HANDLE log = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return;
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(log);
}

// The variable's value for this handler (see the top of this file).
std::string setting(const char* name, DWORD handler)
{
    const std::string value = environment(name), code = selnary::text::fourcc(handler) + ":";
    std::string for_all;
    std::size_t start = 0;
    while (start < value.size()) {
        std::size_t end = value.find(' ', start);
        if (end == std::string::npos)
            end = value.size();
        const std::string item = value.substr(start, end - start);
        if (item.compare(0, code.size(), code) == 0)
            return item.substr(code.size());
        if (item.find(':') == std::string::npos)
            for_all = item;
        start = end + 1;
    }
    return for_all;
}

bool misbehaves(DWORD handler, const char* how)
{
    return setting("SELNARY_COMPRESSOR_MISBEHAVE", handler) == how;
}

void fault()
{
    // Volatile all through, or the optimizer may drop a store it can prove faults.
    volatile int* volatile nowhere = nullptr;
    *nowhere = 0;
}

// What a compressor must never be able to pass off as its host's words: a
// line of the kind a report might read, without its line break.
void chatter(DWORD handler)
{
    if (!misbehaves(handler, "stdout"))
        return;
    static const char noise[] = "row\tindex=0\topens=0\tdescription=\tcount\t3";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), noise, sizeof noise - 1, &written, nullptr);
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), noise, sizeof noise - 1, &written, nullptr);
}

LRESULT open_instance(const ICOPEN* open)
{
    if (!open)
        return kSession;
    const DWORD mode = open->dwFlags;
    const bool decompress = mode == ICMODE_DECOMPRESS || mode == ICMODE_FASTDECOMPRESS;
    chatter(open->fccHandler);
    if (open->fccType != ICTYPE_VIDEO || (!decompress && (mode & ICMODE_COMPRESS) == 0) ||
        setting("SELNARY_COMPRESSOR_OPEN", open->fccHandler) == "refuse" ||
        (decompress && setting("SELNARY_COMPRESSOR_CODEC", open->fccHandler) == "oneway")) {
        log_line("refuse " + std::to_string(mode));
        return 0;
    }
    if (!decompress) {
        const std::string fails = setting("SELNARY_COMPRESSOR_FAULT", open->fccHandler);
        if (fails == "open")
            fault();
        if (fails == "hang")
            Sleep(INFINITE);
        if (misbehaves(open->fccHandler, "chdir"))
            SetCurrentDirectoryA("C:\\windows\\temp");
    }

    auto* instance = new Instance;
    instance->handler = open->fccHandler;
    const std::string decodes = setting("SELNARY_COMPRESSOR_DECODES", open->fccHandler);
    instance->decodes = decodes.size() == 4
        ? mmioFOURCC(decodes[0], decodes[1], decodes[2], decodes[3])
        : open->fccHandler;
    instance->serial = ++g_opened;
    instance->decompress = decompress;
    const_cast<ICOPEN*>(open)->dwError = ICERR_OK;
    log_line((decompress ? "open-decompress " : "open ") + std::to_string(instance->serial) + " " +
             selnary::text::fourcc(instance->handler));
    return reinterpret_cast<LRESULT>(instance);
}

LRESULT describe(const Instance& instance, ICINFO* info, LPARAM size)
{
    log_line("info " + std::to_string(instance.serial));
    if (!info || size < static_cast<LPARAM>(sizeof(ICINFO)))
        return 0;
    ZeroMemory(info, sizeof(ICINFO));
    info->dwSize = sizeof(ICINFO);
    info->fccType = ICTYPE_VIDEO;
    info->fccHandler = instance.decodes;  // as a codec registered under another code says
    info->dwVersionICM = ICVERSION;
    const std::string code = selnary::text::fourcc(instance.handler);
    const std::wstring handler(code.begin(), code.end());
    const bool unicode = setting("SELNARY_COMPRESSOR_TEXT", instance.handler) == "unicode";
    const std::wstring description = (unicode ? L"selnary Gr\u00fc\u00dfe \u65e5\u672c ("
                                              : L"selnary test compressor (") +
        std::to_wstring(sizeof(void*) * 8) + L"-bit, " + handler + L")";
    lstrcpynW(info->szName, handler.c_str(), ARRAYSIZE(info->szName));
    lstrcpynW(info->szDescription, description.c_str(), ARRAYSIZE(info->szDescription));
    if (misbehaves(instance.handler, "unterminated")) {
        // Every character used, none left for the end.
        for (wchar_t& c : info->szName)
            c = L'N';
        for (wchar_t& c : info->szDescription)
            c = L'D';
    }
    return sizeof(ICINFO);
}

// ---- The TAKES variant: any of the named formats at any size, kept as is ----

namespace formats = selnary::report;

// Its compressed format: the header, and which format the bytes are in.
struct Kept {
    BITMAPINFOHEADER header;
    DWORD format;  // an index into formats::kFormats
};

bool names(const std::string& list, std::string_view name)
{
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        if (list.compare(start, end - start, name) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// The format of an input header, where it is one of the report's.
const formats::PixelFormat* format_of(const BITMAPINFOHEADER* in)
{
    if (!in || in->biWidth <= 0 || in->biHeight == 0)
        return nullptr;
    for (const formats::PixelFormat& format : formats::kFormats)
        if (in->biCompression == format.compression && in->biBitCount == format.bit_count &&
            (in->biHeight < 0) == format.top_down)
            return &format;
    return nullptr;
}

formats::Size size_of(const BITMAPINFOHEADER& header)
{
    return {static_cast<int>(header.biWidth), std::abs(static_cast<int>(header.biHeight))};
}

std::string taken(DWORD handler)
{
    return setting("SELNARY_COMPRESSOR_TAKES", handler);
}

// The format IN is in, where the variant takes it; none otherwise.
const formats::PixelFormat* kept_format(const Instance& instance, const BITMAPINFOHEADER* in)
{
    const formats::PixelFormat* format = format_of(in);
    if (format && setting("SELNARY_COMPRESSOR_FAULT", instance.handler) == format->name)
        fault();
    if (format && setting("SELNARY_COMPRESSOR_HANG", instance.handler) == format->name)
        Sleep(INFINITE);
    return format && names(taken(instance.handler), format->name) ? format : nullptr;
}

LRESULT propose_kept(const Instance& instance, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out)
{
    const formats::PixelFormat* format = kept_format(instance, in);
    if (!format)
        return ICERR_BADFORMAT;
    if (!out)
        return sizeof(Kept);
    Kept kept{*in, static_cast<DWORD>(format - formats::kFormats.data())};
    kept.header.biSize = sizeof(Kept);  // what follows the header is part of it
    kept.header.biCompression = instance.handler;
    kept.header.biHeight = size_of(*in).height;
    kept.header.biClrUsed = kept.header.biClrImportant = 0;
    kept.header.biSizeImage = static_cast<DWORD>(formats::frame_bytes(*format, size_of(*in)));
    std::memcpy(out, &kept, sizeof kept);
    return ICERR_OK;
}

LRESULT begin_kept(const Instance& instance, const BITMAPINFOHEADER* in)
{
    if (!kept_format(instance, in))
        return ICERR_BADFORMAT;
    const formats::Size size = size_of(*in);
    if (setting("SELNARY_COMPRESSOR_BEGIN", instance.handler) == "even" &&
        (size.width % 2 || size.height % 2))
        return ICERR_BADFORMAT;
    return ICERR_OK;
}

LRESULT compress_kept(const Instance& instance, ICCOMPRESS* call)
{
    const formats::PixelFormat* format = kept_format(instance, call->lpbiInput);
    if (!format)
        return ICERR_BADFORMAT;
    const std::size_t bytes = formats::frame_bytes(*format, size_of(*call->lpbiInput));
    std::memcpy(call->lpOutput, call->lpInput, bytes);
    call->lpbiOutput->biSizeImage = static_cast<DWORD>(bytes);
    if (call->lpdwFlags)
        *call->lpdwFlags = AVIIF_KEYFRAME;
    return ICERR_OK;
}

// The format a kept frame comes back in: its own, or 32-bit RGB.
const formats::PixelFormat* kept_output(const Instance& instance, const BITMAPINFOHEADER* in)
{
    if (!in || in->biCompression != instance.handler || in->biSize < sizeof(Kept) ||
        taken(instance.handler).empty())
        return nullptr;
    const DWORD index = reinterpret_cast<const Kept*>(in)->format;
    if (index >= formats::kFormats.size())
        return nullptr;
    return setting("SELNARY_COMPRESSOR_DECODE", instance.handler) == "rgb"
        ? &formats::kProbePixels
        : &formats::kFormats[index];
}

bool decompresses_kept(const Instance& instance, const BITMAPINFOHEADER* in,
                       const BITMAPINFOHEADER* out)
{
    const formats::PixelFormat* format = kept_output(instance, in);
    return format && (!out || (format_of(out) == format && size_of(*out) == size_of(*in)));
}

LRESULT decompress_kept(const Instance& instance, ICDECOMPRESS* call)
{
    if (!decompresses_kept(instance, call->lpbiInput, call->lpbiOutput))
        return ICERR_BADFORMAT;
    const auto* kept = reinterpret_cast<const Kept*>(call->lpbiInput);
    const formats::PixelFormat& format = formats::kFormats[kept->format];
    const formats::Size size = size_of(kept->header);
    const auto* in = static_cast<const unsigned char*>(call->lpInput);
    const std::vector<unsigned char> frame = kept_output(instance, call->lpbiInput) == &format
        ? std::vector<unsigned char>(in, in + formats::frame_bytes(format, size))
        : formats::to_rgb(format, size, in);
    std::memcpy(call->lpOutput, frame.data(), frame.size());
    return ICERR_OK;
}

// ---- The others: the probe format, 256 x 256 -------------------------------

// Takes exactly what the probe offers, uncompressed 256 x 256 at 32 bits, or
// at the bit count its variant names.
bool takes(const Instance& instance, const BITMAPINFOHEADER* in)
{
    const std::string bits = setting("SELNARY_COMPRESSOR_BITS", instance.handler);
    return in && in->biCompression == BI_RGB &&
        in->biBitCount == (bits.empty() ? 32 : std::stoi(bits)) && in->biWidth == kSide &&
        in->biHeight == kSide;
}

LRESULT query(const Instance& instance, const BITMAPINFOHEADER* in)
{
    const std::string answer = setting("SELNARY_COMPRESSOR_QUERY", instance.handler);
    if (misbehaves(instance.handler, "exit"))
        ExitProcess(7);
    if (misbehaves(instance.handler, "msgbox"))
        MessageBoxW(nullptr, L"Is the probe all right?", L"slng asks", MB_OK);
    const bool ok = answer.empty() &&
        (taken(instance.handler).empty() ? takes(instance, in)
                                         : kept_format(instance, in) != nullptr);
    log_line("query " + std::to_string(instance.serial) + (ok ? " ok" : " bad"));
    if (!answer.empty())
        return std::stol(answer);
    return ok ? ICERR_OK : ICERR_BADFORMAT;
}

std::string stream(DWORD handler)
{
    return setting("SELNARY_COMPRESSOR_STREAM", handler);
}

// Bytes a compressed pixel takes: 2 (RGB 5:6:5) or 3 (all of B, G, R).
int stored_bytes(DWORD handler)
{
    return setting("SELNARY_COMPRESSOR_CODEC", handler).empty() && stream(handler).empty() ? 2 : 3;
}

// What it would compress a frame it takes to: its own code at 16 or 24
// bits. With no room given, the room it needs.
LRESULT propose(const Instance& instance, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out)
{
    if (!taken(instance.handler).empty())
        return propose_kept(instance, in, out);
    if (!takes(instance, in))
        return ICERR_BADFORMAT;
    if (!out) {
        if (misbehaves(instance.handler, "bigformat"))
            return 0x7FFFFFF0;
        if (misbehaves(instance.handler, "errformat"))
            return ICERR_UNSUPPORTED;
        return sizeof(BITMAPINFOHEADER);
    }
    const int bytes = stored_bytes(instance.handler);
    *out = *in;
    out->biCompression = instance.handler;
    out->biBitCount = static_cast<WORD>(bytes * 8);
    out->biSizeImage = static_cast<DWORD>(kSide * kSide * bytes);
    return ICERR_OK;
}

// Pixel (X, Y) of a plain frame, the frame wrapping around at its edges.
std::size_t at(int x, int y)
{
    return (static_cast<std::size_t>((y + kSide) % kSide) * kSide + (x + kSide) % kSide) * 3;
}

// How far the picture moved since PREVIOUS: the shift, within REACH pixels,
// under which the most of a sample of pixels match.
std::pair<int, int> motion(const Bytes& previous, const Bytes& frame, int reach)
{
    std::pair<int, int> best{0, 0};
    int best_matches = -1;
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx) {
            // Sparser the further it looks, so that the search costs the same.
            int matches = 0;
            for (int y = 0; y < kSide; y += reach + 1)
                for (int x = 0; x < kSide; x += reach + 3)
                    matches += std::memcmp(&frame[at(x, y)], &previous[at(x + dx, y + dy)], 3) == 0;
            if (matches > best_matches)
                best = {dx, dy}, best_matches = matches;
        }
    return best;
}

void put32(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

std::uint32_t get32(const unsigned char* in)
{
    return in[0] | in[1] << 8 | in[2] << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

// A delta frame: the shift, then runs of what differs from the frame before
// so shifted, each as the bytes that agree, the bytes that differ and those
// bytes XORed with the shifted frame's. The picture is looked for within
// REACH pixels: a few a frame.
Bytes delta(const Bytes& previous, const Bytes& frame, int reach = 4)
{
    const auto [dx, dy] = motion(previous, frame, reach);
    Bytes out = {static_cast<unsigned char>(dx), static_cast<unsigned char>(dy)};
    Bytes shifted(kPlainBytes);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            std::memcpy(&shifted[at(x, y)], &previous[at(x + dx, y + dy)], 3);
    for (std::size_t i = 0; i < kPlainBytes && out.size() < kPlainBytes;) {
        std::size_t same = i;
        while (same < kPlainBytes && frame[same] == shifted[same])
            ++same;
        std::size_t differ = same;
        while (differ < kPlainBytes && frame[differ] != shifted[differ])
            ++differ;
        put32(out, static_cast<std::uint32_t>(same - i));
        put32(out, static_cast<std::uint32_t>(differ - same));
        for (std::size_t j = same; j < differ; ++j)
            out.push_back(frame[j] ^ shifted[j]);
        i = differ;
    }
    return out;
}

// The frame a delta frame makes of PREVIOUS; false for one that does not read.
bool undelta(const Bytes& previous, const unsigned char* in, std::size_t size, Bytes& frame)
{
    if (size < 2)
        return false;
    const int dx = static_cast<signed char>(in[0]), dy = static_cast<signed char>(in[1]);
    frame.assign(kPlainBytes, 0);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            std::memcpy(&frame[at(x, y)], &previous[at(x + dx, y + dy)], 3);
    std::size_t i = 0;
    for (std::size_t read = 2; read + 8 <= size;) {
        const std::size_t same = get32(in + read), differ = get32(in + read + 4);
        read += 8;
        if (same > kPlainBytes - i || differ > kPlainBytes - i - same || differ > size - read)
            return false;
        i += same;
        for (std::size_t j = 0; j < differ; ++j)
            frame[i++] ^= in[read++];
    }
    return true;
}

// The bframes variant: anchors every third frame, the two between held as
// B-frames until the anchor after them has come, each coded against the
// anchor before. Tags of its frames that are neither key nor skip frames.
constexpr int kAnchorEvery = 3;
constexpr unsigned char kPacked = 'P', kBFrame = 'B', kShowAnchor = 'S';

Bytes tagged(unsigned char tag, const Bytes& coded)
{
    Bytes out = {tag};
    out.insert(out.end(), coded.begin(), coded.end());
    return out;
}

Bytes compress_bframes(Instance& instance, const Bytes& frame)
{
    const int at = instance.sent;
    if (at == 0) {
        instance.anchor = frame;
        return frame;
    }
    if (at % kAnchorEvery != 0) {
        instance.waiting.push_back(frame);
    } else {
        // The anchor and the first B-frame in one, so that the B-frame shows at once.
        constexpr int kReach = 3 * kAnchorEvery;
        const Bytes anchor = delta(instance.anchor, frame, kReach);
        Bytes packed = {kPacked};
        put32(packed, static_cast<std::uint32_t>(anchor.size()));
        packed.insert(packed.end(), anchor.begin(), anchor.end());
        bool first = true;
        for (const Bytes& held : instance.waiting) {
            const Bytes coded = delta(instance.anchor, held, kReach);
            if (first)
                packed.insert(packed.end(), coded.begin(), coded.end());
            else
                instance.held.push_back(tagged(kBFrame, coded));
            first = false;
        }
        instance.held.push_front(packed);
        instance.held.push_back(Bytes{kShowAnchor, 0, 0, 0, 0, 0});
        instance.waiting.clear();
        instance.anchor = frame;
    }
    if (instance.held.empty())
        return {0x7F};
    Bytes out = instance.held.front();
    instance.held.pop_front();
    return out;
}

// The stream variants: the first frame after Begin as a key frame, the rest
// as delta frames where that is smaller, held back as the variant says.
LRESULT compress_stream(Instance& instance, ICCOMPRESS* call, const std::string& variant)
{
    const auto* in = static_cast<const unsigned char*>(call->lpInput);
    const std::size_t step = call->lpbiInput->biBitCount / 8u;
    Bytes frame(kPlainBytes);
    for (std::size_t i = 0; i < kSide * kSide; ++i)
        std::memcpy(&frame[i * 3], in + i * step, 3);
    if (variant == "counted" && instance.count > 0 && call->lFrameNum >= instance.count)
        return ICERR_BADPARAM;  // past the end it was told of
    Bytes out;
    if (variant == "bframes") {
        out = compress_bframes(instance, frame);
        ++instance.sent;
    } else {
        Bytes coded = instance.sent == 0 ? frame : delta(instance.previous, frame);
        if (coded.size() >= kPlainBytes)
            coded = frame;  // a delta frame no smaller than the frame: a key frame instead
        instance.previous = frame;
        ++instance.sent;
        instance.held.push_back(coded);
        const bool told = variant != "counted" || instance.count > 0;
        const std::size_t behind = variant == "delay" || variant == "counted" ? 2
            : variant == "skip"                                               ? 1
                                                                              : 0;
        if (variant == "skip" && instance.held.size() <= behind) {
            out = {0x7F};
        } else if (variant != "never" && told && instance.held.size() > behind) {
            out = instance.held.front();
            instance.held.pop_front();
        }
    }
    std::memcpy(call->lpOutput, out.data(), out.size());
    call->lpbiOutput->biSizeImage = static_cast<DWORD>(out.size());
    // Only a whole frame is a key frame; a skip or empty frame stands for none.
    if (call->lpdwFlags)
        *call->lpdwFlags = out.size() == kPlainBytes && variant != "unmarked" ? AVIIF_KEYFRAME : 0;
    return ICERR_OK;
}

LRESULT compress_frame(Instance& instance, ICCOMPRESS* call);

LRESULT compress(Instance& instance, ICCOMPRESS* call)
{
    const LRESULT result = compress_frame(instance, call);
    // After it read the frame: its own scratch, as far as it knows.
    if (call && call->lpInput && misbehaves(instance.handler, "scribble"))
        std::memset(call->lpInput, 0xEE, 16);
    return result;
}

LRESULT compress_frame(Instance& instance, ICCOMPRESS* call)
{
    if (call && !taken(instance.handler).empty())
        return compress_kept(instance, call);
    if (!call || !takes(instance, call->lpbiInput))
        return ICERR_BADFORMAT;
    if (setting("SELNARY_COMPRESSOR_FAULT", instance.handler) == "compress")
        fault();
    const std::string variant = stream(instance.handler);
    if (!variant.empty())
        return compress_stream(instance, call, variant);
    const int bytes = stored_bytes(instance.handler);
    const auto* in = static_cast<const unsigned char*>(call->lpInput);
    auto* out = static_cast<unsigned char*>(call->lpOutput);
    // 32- or 24-bit input, whichever it takes; rows of either need no padding here.
    const int step = call->lpbiInput->biBitCount / 8;
    for (int i = 0; i < kSide * kSide; ++i, in += step, out += bytes) {
        if (bytes == 3) {
            out[0] = in[0], out[1] = in[1], out[2] = in[2];
        } else {
            const unsigned packed = (in[2] >> 3) << 11 | (in[1] >> 2) << 5 | in[0] >> 3;
            out[0] = static_cast<unsigned char>(packed),
            out[1] = static_cast<unsigned char>(packed >> 8);
        }
    }
    call->lpbiOutput->biSizeImage = static_cast<DWORD>(kSide * kSide * bytes);
    if (call->lpdwFlags)
        *call->lpdwFlags = AVIIF_KEYFRAME;
    return ICERR_OK;
}

bool decompresses(const Instance& instance, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out)
{
    return in && in->biCompression == instance.decodes && in->biWidth == kSide &&
        in->biHeight == kSide &&
        (!out ||
         (out->biCompression == BI_RGB && (out->biBitCount == 32 || out->biBitCount == 24) &&
          out->biWidth == kSide && out->biHeight == kSide));
}

// The frame a bframes variant's input makes, into INSTANCE's previous frame,
// the picture shown: key frames and B-frames show at once, an anchor when
// the next frame says so, and a skip frame shows the picture as it was.
LRESULT decode_bframes(Instance& instance, const unsigned char* in, std::size_t size)
{
    if (size == kPlainBytes) {
        instance.anchor.assign(in, in + size);
        instance.previous = instance.anchor;
        return ICERR_OK;
    }
    if (size == 1 && in[0] == 0x7F)
        return instance.previous.empty() ? ICERR_BADFORMAT : ICERR_OK;
    if (size < 1 || instance.anchor.size() != kPlainBytes)
        return ICERR_BADFORMAT;
    Bytes frame;
    if (in[0] == kPacked && size >= 5) {
        const std::size_t anchor = get32(in + 1);
        if (anchor > size - 5 || !undelta(instance.anchor, in + 5, anchor, instance.pending) ||
            !undelta(instance.anchor, in + 5 + anchor, size - 5 - anchor, frame))
            return ICERR_BADFORMAT;
    } else if (in[0] == kBFrame) {
        if (!undelta(instance.anchor, in + 1, size - 1, frame))
            return ICERR_BADFORMAT;
    } else if (in[0] == kShowAnchor && instance.pending.size() == kPlainBytes) {
        instance.anchor = frame = instance.pending;
    } else {
        return ICERR_BADFORMAT;
    }
    instance.previous = frame;
    return ICERR_OK;
}

// The frame a stream variant's input makes, into INSTANCE's previous frame.
LRESULT decode_stream(Instance& instance, const ICDECOMPRESS& call, const std::string& variant,
                      bool& changed)
{
    const auto* in = static_cast<const unsigned char*>(call.lpInput);
    const std::size_t size = call.lpbiInput->biSizeImage;
    changed = true;
    if (variant == "bframes")
        return decode_bframes(instance, in, size);
    if (size == kPlainBytes) {
        instance.previous.assign(in, in + size);
        return ICERR_OK;
    }
    if (variant == "nodelta")
        return ICERR_BADFORMAT;
    if (variant == "stale") {
        changed = false;  // leaves the picture as it was
        return ICERR_OK;
    }
    if (instance.previous.size() != kPlainBytes)
        return ICERR_BADFORMAT;  // a delta frame with nothing before it
    Bytes frame;
    if (!undelta(instance.previous, in, size, frame))
        return ICERR_BADFORMAT;
    instance.previous = frame;
    return ICERR_OK;
}

LRESULT decompress(Instance& instance, ICDECOMPRESS* call)
{
    if (call && !taken(instance.handler).empty())
        return decompress_kept(instance, call);
    if (!call || !decompresses(instance, call->lpbiInput, call->lpbiOutput))
        return ICERR_BADFORMAT;
    if (setting("SELNARY_COMPRESSOR_FAULT", instance.handler) == "decompress")
        fault();
    if (setting("SELNARY_COMPRESSOR_FAULT", instance.handler) == "stall")
        Sleep(INFINITE);
    const std::string variant = stream(instance.handler);
    const unsigned char* in = static_cast<const unsigned char*>(call->lpInput);
    int bytes = call->lpbiInput->biBitCount / 8;
    Bytes late;
    if (!variant.empty()) {
        bool changed = false;
        if (const LRESULT result = decode_stream(instance, *call, variant, changed))
            return result;
        if (variant == "late") {
            // What it decoded the call before; the first call shows nothing.
            late = instance.late;
            instance.late = instance.previous;
            if (late.empty())
                return ICERR_OK;
        }
        if (!changed)
            return ICERR_OK;
        in = late.empty() ? instance.previous.data() : late.data();
        bytes = 3;
    }
    const int step = call->lpbiOutput->biBitCount / 8;
    const bool flip = setting("SELNARY_COMPRESSOR_CODEC", instance.handler) == "flip";
    for (int y = 0; y < kSide; ++y) {
        auto* out = static_cast<unsigned char*>(call->lpOutput) +
            static_cast<std::size_t>(flip ? kSide - 1 - y : y) * kSide * step;
        for (int x = 0; x < kSide; ++x, in += bytes, out += step) {
            if (bytes == 3) {
                out[0] = in[0], out[1] = in[1], out[2] = in[2];
            } else {
                const unsigned packed = in[0] | in[1] << 8;
                const unsigned r = packed >> 11, g = (packed >> 5) & 63, b = packed & 31;
                out[2] = static_cast<unsigned char>(r << 3 | r >> 2);
                out[1] = static_cast<unsigned char>(g << 2 | g >> 4);
                out[0] = static_cast<unsigned char>(b << 3 | b >> 2);
            }
            if (step == 4)
                out[3] = 0;
        }
    }
    return ICERR_OK;
}

}  // namespace

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR, UINT message, LPARAM first, LPARAM second)
{
    // The messages before an open carry no instance: their ID is not one (a
    // driver installed as a function may even get whatever the caller's
    // memory held).
    switch (message) {
    case DRV_LOAD:
#ifdef SELNARY_NEEDS_HELPER
        return selnary_helper();
#else
        return 1;
#endif
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return 1;
    case DRV_OPEN:
        return open_instance(reinterpret_cast<const ICOPEN*>(second));
    default:
        break;
    }
    auto* instance = static_cast<LRESULT>(id) == kSession ? nullptr
                                                          : reinterpret_cast<Instance*>(id);
    if (instance)
        chatter(instance->handler);
    const auto header = [](LPARAM value) { return reinterpret_cast<BITMAPINFOHEADER*>(value); };
    switch (message) {
    case DRV_CLOSE:
        if (instance) {
            log_line("close " + std::to_string(instance->serial));
            delete instance;
        }
        return 1;
    case ICM_GETINFO:
        return instance ? describe(*instance, reinterpret_cast<ICINFO*>(first), second) : 0;
    default:
        break;
    }
    if (!instance)
        return message < DRV_USER ? 0 : ICERR_UNSUPPORTED;
    switch (message) {
    case ICM_COMPRESS_QUERY:
        return query(*instance, header(first));
    case ICM_COMPRESS_GET_FORMAT:
        return propose(*instance, header(first), header(second));
    case ICM_COMPRESS_GET_SIZE:
        if (!taken(instance->handler).empty()) {
            const formats::PixelFormat* format = kept_format(*instance, header(first));
            return format
                ? static_cast<LRESULT>(formats::frame_bytes(*format, size_of(*header(first))))
                : ICERR_BADFORMAT;
        }
        if (!takes(*instance, header(first)))
            return ICERR_BADFORMAT;
        // As Wine's MS-RLE does: less than it then writes.
        return kSide * kSide * stored_bytes(instance->handler) -
            (misbehaves(instance->handler, "smallsize") ? 4096 : 0);
    case ICM_COMPRESS_FRAMES_INFO: {
        const auto* info = reinterpret_cast<const ICCOMPRESSFRAMES*>(first);
        if (stream(instance->handler).empty())
            return ICERR_UNSUPPORTED;
        if (!info || second < static_cast<LPARAM>(sizeof(ICCOMPRESSFRAMES)))
            return ICERR_BADPARAM;
        log_line("frames " + std::to_string(instance->serial) + " " +
                 std::to_string(info->lFrameCount) + " " + std::to_string(info->dwRate) + "/" +
                 std::to_string(info->dwScale) + " " + std::to_string(info->lQuality));
        instance->announced = info->lFrameCount;
        return ICERR_OK;
    }
    case ICM_COMPRESS_BEGIN:
        if (!taken(instance->handler).empty())
            return begin_kept(*instance, header(first));
        if (!takes(*instance, header(first)))
            return ICERR_BADFORMAT;
        // A new stream: its first frame is a key frame, and the count told
        // before it holds for it alone.
        instance->count = instance->announced;
        instance->announced = 0;
        instance->sent = 0;
        instance->previous.clear();
        instance->held.clear();
        instance->waiting.clear();
        instance->anchor.clear();
        return ICERR_OK;
    case ICM_COMPRESS:
        return compress(*instance, reinterpret_cast<ICCOMPRESS*>(first));
    case ICM_DECOMPRESS_QUERY:
        if (!taken(instance->handler).empty())
            return decompresses_kept(*instance, header(first), header(second)) ? ICERR_OK
                                                                               : ICERR_BADFORMAT;
        return decompresses(*instance, header(first), header(second)) ? ICERR_OK : ICERR_BADFORMAT;
    case ICM_DECOMPRESS_BEGIN:
        if (!taken(instance->handler).empty())
            return decompresses_kept(*instance, header(first), header(second)) ? ICERR_OK
                                                                               : ICERR_BADFORMAT;
        if (!decompresses(*instance, header(first), header(second)))
            return ICERR_BADFORMAT;
        instance->previous.clear();
        instance->anchor.clear();
        instance->pending.clear();
        instance->late.clear();
        return ICERR_OK;
    case ICM_DECOMPRESS:
        return decompress(*instance, reinterpret_cast<ICDECOMPRESS*>(first));
    case ICM_COMPRESS_END:
        if (misbehaves(instance->handler, "forget"))
            instance->state = State{};
        return ICERR_OK;
    case ICM_DECOMPRESS_END:
        return ICERR_OK;
    case ICM_GETSTATE:
        if (!first)
            return sizeof(State);
        if (second < static_cast<LPARAM>(sizeof(State)))
            return ICERR_BADPARAM;
        std::memcpy(reinterpret_cast<void*>(first), &instance->state, sizeof(State));
        return sizeof(State);
    case ICM_SETSTATE:
        if (!first || second != static_cast<LPARAM>(sizeof(State)))
            return 0;
        std::memcpy(&instance->state, reinterpret_cast<const void*>(first), sizeof(State));
        return sizeof(State);
    case ICM_CONFIGURE:
        // Asked whether there is a dialog (first == -1): yes; shown: nothing to set.
        return ICERR_OK;
    default:
        // Nothing to install or configure; driver messages are answered no.
        return message < DRV_USER ? 0 : ICERR_UNSUPPORTED;
    }
}
