#include "report/frames/formats.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>  // for std::abs

namespace selnary::report {
namespace {

using Bytes = std::vector<unsigned char>;

std::size_t rgb_stride(int bits, int width)
{
    return (static_cast<std::size_t>(width) * static_cast<std::size_t>(bits) + 31) / 32 * 4;
}

std::size_t half(int length)
{
    return (static_cast<std::size_t>(length) + 1) / 2;
}

bool is_rgb(Layout layout)
{
    return layout == Layout::rgb || layout == Layout::rgb565 || layout == Layout::paletted;
}

void put16(Bytes& bytes, std::size_t at, unsigned value)
{
    bytes[at] = static_cast<unsigned char>(value);
    bytes[at + 1] = static_cast<unsigned char>(value >> 8);
}

void put32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

unsigned char clamp(double value)
{
    return static_cast<unsigned char>(std::clamp(std::lround(value), 0l, 255l));
}

// The palette of 8-bit frames: three bits of red, three of green, two of blue.
struct Colour {
    unsigned char b, g, r;
};

Colour palette(unsigned index)
{
    return {static_cast<unsigned char>((index & 3) * 85),
            static_cast<unsigned char>(std::lround(((index >> 2) & 7) * 255.0 / 7)),
            static_cast<unsigned char>(std::lround((index >> 5) * 255.0 / 7))};
}

unsigned char nearest_index(const unsigned char* bgr)
{
    const auto level = [](unsigned char value, int top) {
        return static_cast<unsigned>(std::lround(value * top / 255.0));
    };
    return static_cast<unsigned char>(level(bgr[2], 7) << 5 | level(bgr[1], 7) << 2 |
                                      level(bgr[0], 3));
}

unsigned expand5(unsigned value)
{
    return value << 3 | value >> 2;
}

unsigned expand6(unsigned value)
{
    return value << 2 | value >> 4;
}

// BT.601, limited range.
struct Yuv {
    double y, u, v;
};

Yuv yuv_of(const unsigned char* bgr)
{
    const double b = bgr[0], g = bgr[1], r = bgr[2];
    return {16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255,
            128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255,
            128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255};
}

void rgb_of(double y, double u, double v, unsigned char* bgr)
{
    const double luma = 1.164383 * (y - 16);
    bgr[0] = clamp(luma + 2.017232 * (u - 128));
    bgr[1] = clamp(luma - 0.391762 * (u - 128) - 0.812968 * (v - 128));
    bgr[2] = clamp(luma + 1.596027 * (v - 128));
}

// Where a YUV format keeps each sample: offsets of the three planes (or of
// the one plane of a packed format) and the steps between samples.
struct Planes {
    std::size_t luma_stride, chroma_stride;  // bytes a row
    std::size_t u, v;  // offset of the first U and V samples
    std::size_t chroma_step;  // bytes between chroma samples in a row
    int chroma_rows;  // rows of pixels that share one row of chroma
};

Planes planes_of(Layout layout, Size size)
{
    const std::size_t luma = static_cast<std::size_t>(size.width) *
        static_cast<std::size_t>(size.height);
    const std::size_t chroma = half(size.width) * half(size.height);
    switch (layout) {
    case Layout::yuy2:
        return {half(size.width) * 4, half(size.width) * 4, 1, 3, 4, 1};
    case Layout::uyvy:
        return {half(size.width) * 4, half(size.width) * 4, 0, 2, 4, 1};
    case Layout::yv12:
        return {static_cast<std::size_t>(size.width), half(size.width), luma + chroma, luma, 1, 2};
    case Layout::i420:
        return {static_cast<std::size_t>(size.width), half(size.width), luma, luma + chroma, 1, 2};
    default:  // nv12
        return {static_cast<std::size_t>(size.width), half(size.width) * 2, luma, luma + 1, 2, 2};
    }
}

// Where the luma sample of pixel x of row y is.
std::size_t luma_at(Layout layout, const Planes& planes, std::size_t x, std::size_t y)
{
    if (layout == Layout::yuy2)
        return y * planes.luma_stride + x * 2;
    if (layout == Layout::uyvy)
        return y * planes.luma_stride + x * 2 + 1;
    return y * planes.luma_stride + x;
}

std::size_t chroma_at(const Planes& planes, std::size_t plane, std::size_t x, std::size_t y)
{
    return plane + (y / static_cast<std::size_t>(planes.chroma_rows)) * planes.chroma_stride +
        (x / 2) * planes.chroma_step;
}

// The source row of RGB row Y of a format (whose rows may run top-down).
std::size_t rgb_row(const PixelFormat& format, Size size, std::size_t y)
{
    return format.top_down ? static_cast<std::size_t>(size.height) - 1 - y : y;
}

// Every sample a frame in FORMAT holds, each at its own depth, in one order
// for any two frames of the same format and size.
std::vector<unsigned> samples(const PixelFormat& format, Size size, const unsigned char* frame)
{
    std::vector<unsigned> values;
    const std::size_t width = static_cast<std::size_t>(size.width);
    const std::size_t height = static_cast<std::size_t>(size.height);
    if (is_rgb(format.layout)) {
        const std::size_t stride = rgb_stride(format.bit_count, size.width);
        values.reserve(width * height * 3);
        for (std::size_t y = 0; y < height; ++y) {
            const unsigned char* row = frame + y * stride;
            for (std::size_t x = 0; x < width; ++x) {
                if (format.bit_count >= 24) {
                    const unsigned char* pixel = row +
                        x * static_cast<std::size_t>(format.bit_count / 8);
                    values.insert(values.end(), {pixel[0], pixel[1], pixel[2]});
                } else if (format.bit_count == 16) {
                    const unsigned word = row[x * 2] | row[x * 2 + 1] << 8;
                    if (format.layout == Layout::rgb565)
                        values.insert(values.end(), {word & 31, word >> 5 & 63, word >> 11 & 31});
                    else
                        values.insert(values.end(), {word & 31, word >> 5 & 31, word >> 10 & 31});
                } else {
                    const Colour colour = palette(row[x]);
                    values.insert(values.end(), {colour.b, colour.g, colour.r});
                }
            }
        }
        return values;
    }
    const Planes planes = planes_of(format.layout, size);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            values.push_back(frame[luma_at(format.layout, planes, x, y)]);
    for (const std::size_t plane : {planes.u, planes.v})
        for (std::size_t y = 0; y < height; y += static_cast<std::size_t>(planes.chroma_rows))
            for (std::size_t x = 0; x < width; x += 2)
                values.push_back(frame[chroma_at(planes, plane, x, y)]);
    return values;
}

// The largest value a sample of FORMAT may take, by its place in samples().
unsigned sample_peak(const PixelFormat& format, std::size_t at)
{
    if (format.bit_count != 16 || !is_rgb(format.layout))
        return 255;
    return format.layout == Layout::rgb565 && at % 3 == 1 ? 63 : 31;
}

}  // namespace

bool is_rgb(const PixelFormat& format)
{
    return is_rgb(format.layout);
}

const PixelFormat* find_format(std::string_view name)
{
    for (const PixelFormat& format : kFormats)
        if (format.name == name)
            return &format;
    return nullptr;
}

std::string Input::named(const char* probe_words) const
{
    if (is_probe())
        return probe_words;
    return std::string(format->name) + " at " + std::to_string(size.width) + " x " +
        std::to_string(size.height);
}

std::size_t frame_bytes(const PixelFormat& format, Size size)
{
    const std::size_t height = static_cast<std::size_t>(size.height);
    switch (format.layout) {
    case Layout::rgb:
    case Layout::rgb565:
    case Layout::paletted:
        return rgb_stride(format.bit_count, size.width) * height;
    case Layout::yuy2:
    case Layout::uyvy:
        return half(size.width) * 4 * height;
    default:
        return static_cast<std::size_t>(size.width) * height +
            2 * half(size.width) * half(size.height);
    }
}

std::vector<unsigned char> header_bytes(const PixelFormat& format, Size size)
{
    const bool paletted = format.layout == Layout::paletted;
    Bytes header(std::size_t{40} + (format.layout == Layout::rgb565 ? 12u : 0u) +
                 (paletted ? 256u * 4 : 0u));
    put32(header, 0, 40);
    put32(header, 4, static_cast<std::uint32_t>(size.width));
    put32(header, 8, static_cast<std::uint32_t>(format.top_down ? -size.height : size.height));
    put16(header, 12, 1);
    put16(header, 14, static_cast<unsigned>(format.bit_count));
    put32(header, 16, format.compression);
    put32(header, 20, static_cast<std::uint32_t>(frame_bytes(format, size)));
    if (paletted) {
        put32(header, 32, 256);
        for (unsigned i = 0; i < 256; ++i) {
            const Colour colour = palette(i);
            header[40 + i * 4] = colour.b;
            header[40 + i * 4 + 1] = colour.g;
            header[40 + i * 4 + 2] = colour.r;
        }
    }
    if (format.layout == Layout::rgb565) {
        put32(header, 40, 0xF800);
        put32(header, 44, 0x07E0);
        put32(header, 48, 0x001F);
    }
    return header;
}

std::vector<unsigned char> from_rgb(const PixelFormat& format, Size size,
                                    const std::vector<unsigned char>& rgb)
{
    Bytes frame(frame_bytes(format, size));
    const std::size_t width = static_cast<std::size_t>(size.width);
    const std::size_t height = static_cast<std::size_t>(size.height);
    const auto source = [&](std::size_t x, std::size_t y) { return &rgb[(y * width + x) * 4]; };
    if (is_rgb(format.layout)) {
        const std::size_t stride = rgb_stride(format.bit_count, size.width);
        for (std::size_t y = 0; y < height; ++y) {
            unsigned char* row = &frame[rgb_row(format, size, y) * stride];
            for (std::size_t x = 0; x < width; ++x) {
                const unsigned char* bgr = source(x, y);
                if (format.bit_count >= 24) {
                    std::copy(bgr, bgr + format.bit_count / 8,
                              row + x * static_cast<std::size_t>(format.bit_count / 8));
                } else if (format.layout == Layout::rgb565) {
                    const unsigned word = (bgr[2] >> 3u) << 11 | (bgr[1] >> 2u) << 5 | bgr[0] >> 3u;
                    row[x * 2] = static_cast<unsigned char>(word);
                    row[x * 2 + 1] = static_cast<unsigned char>(word >> 8);
                } else if (format.bit_count == 16) {
                    const unsigned word = (bgr[2] >> 3u) << 10 | (bgr[1] >> 3u) << 5 | bgr[0] >> 3u;
                    row[x * 2] = static_cast<unsigned char>(word);
                    row[x * 2 + 1] = static_cast<unsigned char>(word >> 8);
                } else {
                    row[x] = nearest_index(bgr);
                }
            }
        }
        return frame;
    }
    // YUV rows run top-down: row 0 is the picture's top, the RGB frame's last.
    const Planes planes = planes_of(format.layout, size);
    const auto top = [&](std::size_t x, std::size_t y) { return source(x, height - 1 - y); };
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            frame[luma_at(format.layout, planes, x, y)] = clamp(yuv_of(top(x, y)).y);
    const std::size_t rows = static_cast<std::size_t>(planes.chroma_rows);
    for (std::size_t y = 0; y < height; y += rows)
        for (std::size_t x = 0; x < width; x += 2) {
            // The mean of the pixels that share the sample, those that exist.
            double u = 0, v = 0;
            int count = 0;
            for (std::size_t dy = 0; dy < rows && y + dy < height; ++dy)
                for (std::size_t dx = 0; dx < 2 && x + dx < width; ++dx) {
                    const Yuv pixel = yuv_of(top(x + dx, y + dy));
                    u += pixel.u;
                    v += pixel.v;
                    ++count;
                }
            frame[chroma_at(planes, planes.u, x, y)] = clamp(u / count);
            frame[chroma_at(planes, planes.v, x, y)] = clamp(v / count);
        }
    return frame;
}

std::vector<unsigned char> to_rgb(const PixelFormat& format, Size size, const unsigned char* frame)
{
    const std::size_t width = static_cast<std::size_t>(size.width);
    const std::size_t height = static_cast<std::size_t>(size.height);
    Bytes rgb(width * height * 4);
    if (is_rgb(format.layout)) {
        const std::size_t stride = rgb_stride(format.bit_count, size.width);
        for (std::size_t y = 0; y < height; ++y) {
            const unsigned char* row = frame + rgb_row(format, size, y) * stride;
            for (std::size_t x = 0; x < width; ++x) {
                unsigned char* bgr = &rgb[(y * width + x) * 4];
                if (format.bit_count >= 24) {
                    std::copy(row + x * static_cast<std::size_t>(format.bit_count / 8),
                              row + x * static_cast<std::size_t>(format.bit_count / 8) + 3, bgr);
                } else if (format.bit_count == 16) {
                    const unsigned word = row[x * 2] | row[x * 2 + 1] << 8;
                    const bool six = format.layout == Layout::rgb565;
                    bgr[0] = static_cast<unsigned char>(expand5(word & 31));
                    bgr[1] = static_cast<unsigned char>(six ? expand6(word >> 5 & 63)
                                                            : expand5(word >> 5 & 31));
                    bgr[2] = static_cast<unsigned char>(expand5(word >> (six ? 11 : 10) & 31));
                } else {
                    const Colour colour = palette(row[x]);
                    bgr[0] = colour.b, bgr[1] = colour.g, bgr[2] = colour.r;
                }
            }
        }
        return rgb;
    }
    // Each chroma sample stands for every pixel that shares it.
    const Planes planes = planes_of(format.layout, size);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            rgb_of(frame[luma_at(format.layout, planes, x, y)],
                   frame[chroma_at(planes, planes.u, x, y)],
                   frame[chroma_at(planes, planes.v, x, y)],
                   &rgb[((height - 1 - y) * width + x) * 4]);
    return rgb;
}

std::vector<unsigned> format_samples(const PixelFormat& format, Size size,
                                     const unsigned char* frame)
{
    return samples(format, size, frame);
}

std::optional<double> compare_in_format(const PixelFormat& format, Size size,
                                        const unsigned char* sent, const unsigned char* got)
{
    return compare_samples(format, samples(format, size, sent), samples(format, size, got));
}

std::optional<double> compare_samples(const PixelFormat& format, const std::vector<unsigned>& in,
                                      const std::vector<unsigned>& out)
{
    // Each error as a share of its sample's range, so depths weigh alike:
    // summed in whole numbers by depth, then weighed.
    std::uint64_t by_peak[3] = {0, 0, 0};  // 255, 63, 31
    for (std::size_t i = 0; i < in.size(); ++i) {
        const long long d = static_cast<long long>(in[i]) - out[i];
        const unsigned peak = sample_peak(format, i);
        by_peak[peak == 255 ? 0 : peak == 63 ? 1 : 2] += static_cast<std::uint64_t>(d * d);
    }
    const double squares = static_cast<double>(by_peak[0]) +
        static_cast<double>(by_peak[1]) * (255.0 / 63) * (255.0 / 63) +
        static_cast<double>(by_peak[2]) * (255.0 / 31) * (255.0 / 31);
    if (squares == 0)
        return std::nullopt;
    return 10 * std::log10(255.0 * 255.0 * static_cast<double>(in.size()) / squares);
}

std::vector<unsigned char> bmp_file(Size size, const std::vector<unsigned char>& rgb)
{
    // The file header, then the 24-bit format's own header and frame.
    constexpr std::uint32_t kHeaders = 14 + 40;
    const Bytes header = header_bytes(kRgb24, size), pixels = from_rgb(kRgb24, size, rgb);
    Bytes out(14);
    out[0] = 'B', out[1] = 'M';
    put32(out, 2, static_cast<std::uint32_t>(kHeaders + pixels.size()));
    put32(out, 10, kHeaders);  // where the pixels start
    out.insert(out.end(), header.begin(), header.end());
    put32(out, 14 + 24, 2835), put32(out, 14 + 28, 2835);  // 72 dots an inch
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

std::vector<unsigned char> difference(const std::vector<unsigned char>& sent,
                                      const std::vector<unsigned char>& got)
{
    Bytes out(std::min(sent.size(), got.size()), 0);
    for (std::size_t i = 0; i < out.size(); ++i)
        if (i % 4 != 3)  // the unused byte stays 0
            out[i] = static_cast<unsigned char>(
                std::min(255, std::abs(sent[i] - got[i]) * kDifferenceGain));
    return out;
}

}  // namespace selnary::report
