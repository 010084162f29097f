// The input formats other programs feed a compressor, each made from a frame
// of 32-bit RGB and turned back into one by one fixed conversion: BT.601
// limited range for YUV, the usual expansion to 8 bits for 16-bit RGB, the
// palette for 8-bit. No platform calls here: a format's header is written as
// the bytes of a BITMAPINFOHEADER and what follows it.
#pragma once

#include "probe/geometry.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace selnary::report {

// A frame's size in pixels; the height is positive, whichever way its rows run.
struct Size {
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
};

// How a format lays out its pixels.
enum class Layout {
    rgb,  // BI_RGB, 24 or 32 bits, or 16 as x1r5g5b5
    rgb565,  // BI_BITFIELDS, with its three masks after the header
    paletted,  // 8 bits through a 256-colour palette
    yuy2,  // packed 4:2:2, Y0 U Y1 V
    uyvy,  // packed 4:2:2, U Y0 V Y1
    yv12,  // planar 4:2:0: Y, then V, then U
    i420,  // planar 4:2:0: Y, then U, then V
    nv12,  // Y, then U and V interleaved, 4:2:0
};

struct PixelFormat {
    std::string_view name;  // as the table and the JSON name it
    Layout layout;
    std::uint32_t compression;  // biCompression: BI_RGB, BI_BITFIELDS or a fourcc
    int bit_count;
    bool top_down;  // RGB with a negative height
};

inline constexpr std::uint32_t kBiRgb = 0, kBiBitfields = 3;

inline constexpr std::uint32_t fourcc_of(const char (&code)[5])
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) |
        static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 8 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 16 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(code[3])) << 24;
}

// Every format, in the order the matrix asks about them.
inline constexpr std::array<PixelFormat, 11> kFormats = {{
    {"rgb24", Layout::rgb, kBiRgb, 24, false},
    {"rgb32", Layout::rgb, kBiRgb, 32, false},
    {"rgb555", Layout::rgb, kBiRgb, 16, false},
    {"rgb565", Layout::rgb565, kBiBitfields, 16, false},
    {"rgb8", Layout::paletted, kBiRgb, 8, false},
    {"yuy2", Layout::yuy2, fourcc_of("YUY2"), 16, false},
    {"uyvy", Layout::uyvy, fourcc_of("UYVY"), 16, false},
    {"yv12", Layout::yv12, fourcc_of("YV12"), 12, false},
    {"i420", Layout::i420, fourcc_of("I420"), 12, false},
    {"nv12", Layout::nv12, fourcc_of("NV12"), 12, false},
    {"rgb32-topdown", Layout::rgb, kBiRgb, 32, true},
}};

// Their names, as the matrix's JSON lists them.
inline constexpr auto kFormatNames = [] {
    std::array<std::string_view, kFormats.size()> names{};
    for (std::size_t i = 0; i < kFormats.size(); ++i)
        names[i] = kFormats[i].name;
    return names;
}();

// RGB at 24 and 32 bits: what a frame is decompressed to, and saved as.
inline constexpr const PixelFormat& kRgb24 = kFormats[0];
inline constexpr const PixelFormat& kRgb32 = kFormats[1];

// The probe format's entry, and its size.
inline constexpr const PixelFormat& kProbePixels = kRgb32;
inline constexpr Size kProbeSize{probe_width, probe_height};

// Whether FORMAT is one of RGB's, 8, 16, 24 or 32 bits.
bool is_rgb(const PixelFormat& format);

// The format named NAME, or none.
const PixelFormat* find_format(std::string_view name);

// What every compressor is asked about: a format at a size; by default the
// probe format, 32-bit RGB at 256 x 256.
struct Input {
    const PixelFormat* format = &kProbePixels;
    Size size = kProbeSize;
    bool every_format = false;  // the matrix: each of kFormats in turn, at this size
    bool is_probe() const
    {
        return !every_format && format == &kProbePixels && size == kProbeSize;
    }
    // How many formats each compressor is asked about, and the input of the Nth.
    int formats() const
    {
        return every_format ? static_cast<int>(kFormats.size()) : 1;
    }
    Input nth(int n) const
    {
        return every_format ? Input{&kFormats[static_cast<std::size_t>(n)], size, false} : *this;
    }
    // How a sentence names it: PROBE_WORDS ("the probe format") for the
    // probe, else its name and size ("yuy2 at 1366 x 768").
    std::string named(const char* probe_words) const;
};

// The bytes of one frame: RGB rows padded to four bytes; YUV rows unpadded,
// chroma of odd sizes rounded up (a 641-pixel row has 321 chroma samples).
std::size_t frame_bytes(const PixelFormat& format, Size size);

// The format's header: a 40-byte BITMAPINFOHEADER, then the three masks
// (rgb565) or the 256 palette entries (rgb8, biClrUsed 256).
std::vector<unsigned char> header_bytes(const PixelFormat& format, Size size);

// A frame of 32-bit RGB (blue, green, red, unused; rows bottom-up, as the
// probe's) of SIZE, in FORMAT.
std::vector<unsigned char> from_rgb(const PixelFormat& format, Size size,
                                    const std::vector<unsigned char>& rgb);

// A frame in FORMAT as 32-bit RGB, by the fixed conversion.
std::vector<unsigned char> to_rgb(const PixelFormat& format, Size size, const unsigned char* frame);

// Two frames in FORMAT compared as the format defines them: every sample it
// has (each of blue, green and red at its own depth, or Y, U and V), ignoring
// row padding and the unused bits of 16- and 32-bit RGB. None where they
// are the same; else the PSNR over those samples.
std::optional<double> compare_in_format(const PixelFormat& format, Size size,
                                        const unsigned char* sent, const unsigned char* got);

// The same in two steps, for a frame compared with many: every sample a
// frame holds, then two frames' samples compared.
std::vector<unsigned> format_samples(const PixelFormat& format, Size size,
                                     const unsigned char* frame);
std::optional<double> compare_samples(const PixelFormat& format, const std::vector<unsigned>& sent,
                                      const std::vector<unsigned>& got);

// A frame of 32-bit RGB as a 24-bit BMP file, which every viewer opens.
std::vector<unsigned char> bmp_file(Size size, const std::vector<unsigned char>& rgb);

// How far GOT is from SENT, both 32-bit RGB: each colour's absolute
// difference times kDifferenceGain, so that an error of a few levels shows.
inline constexpr int kDifferenceGain = 8;
std::vector<unsigned char> difference(const std::vector<unsigned char>& sent,
                                      const std::vector<unsigned char>& got);

}  // namespace selnary::report
