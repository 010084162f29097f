#include "report/frames/clip.h"

#include <algorithm>
#include <cmath>  // for std::log10
#include <cstdint>
#include <cstdio>  // for std::snprintf
#include <cstring>  // for std::memcmp
#include <limits>

namespace selnary::report {
namespace {

// Pixels the picture moves from one frame to the next, across and down.
constexpr std::size_t kPanX = 3, kPanY = 2;
// A frame is wrong when another frame of the clip matches it this much
// better than its own, or when it comes back this much worse than the key
// frame (an exact key frame counted as this good).
constexpr double kBetterMatchDb = 6, kWorseThanKeyDb = 15, kBestCountedDb = 48;

std::size_t width_of(Size size)
{
    return static_cast<std::size_t>(size.width);
}

std::size_t height_of(Size size)
{
    return static_cast<std::size_t>(size.height);
}

// Gradients above, sharp edges below left and noise below right.
Frame picture(Size size)
{
    const std::size_t width = width_of(size), height = height_of(size);
    Frame frame(width * height * 4);
    std::uint32_t noise = 0x2545F491u;
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            unsigned b, g, r;
            if (y < height / 2) {
                b = static_cast<unsigned>(x * 256 / width);
                g = static_cast<unsigned>(y * 512 / height);
                r = 255 - b;
            } else if (x < width / 2) {
                const bool light = (x / 16 + y / 16) % 2 != 0;
                b = g = r = light ? 235 : 16;
                if (x == y - height / 2)
                    r = 255, g = b = 0;
            } else {
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                b = noise & 0xFF;
                g = (noise >> 8) & 0xFF;
                r = (noise >> 16) & 0xFF;
            }
            unsigned char* pixel = &frame[(y * width + x) * 4];
            pixel[0] = static_cast<unsigned char>(b);
            pixel[1] = static_cast<unsigned char>(g);
            pixel[2] = static_cast<unsigned char>(r);
            pixel[3] = 0;
        }
    }
    return frame;
}

std::size_t stride(int bits, Size size)
{
    return (width_of(size) * static_cast<std::size_t>(bits) + 31) / 32 * 4;
}

// Summed in whole numbers: exact, and cheap where floating point is emulated.
double squared_error(const Frame& sent, const unsigned char* got, int bits, Size size)
{
    const std::size_t width = width_of(size), height = height_of(size);
    const std::size_t step = static_cast<std::size_t>(bits / 8), row = stride(bits, size);
    std::uint64_t squares = 0;
    for (std::size_t y = 0; y < height; ++y) {
        const unsigned char* in = &sent[y * width * 4];
        const unsigned char* out = got + y * row;
        std::uint32_t line = 0;  // a row's, within 32 bits up to 8192 pixels
        for (std::size_t x = 0; x < width; ++x, in += 4, out += step)
            for (std::size_t c = 0; c < 3; ++c) {
                const int d = in[c] - out[c];
                line += static_cast<std::uint32_t>(d * d);
            }
        squares += line;
    }
    return static_cast<double>(squares);
}

double psnr(double squares, Size size)
{
    const double samples = 3.0 * static_cast<double>(width_of(size) * height_of(size));
    return squares == 0 ? std::numeric_limits<double>::infinity()
                        : 10 * std::log10(255.0 * 255.0 * samples / squares);
}

std::string db(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dB", value);
    return text;
}

}  // namespace

std::vector<Frame> make_clip(Size size, int frames)
{
    const std::size_t width = width_of(size), height = height_of(size);
    const Frame first = picture(size);
    std::vector<Frame> clip;
    for (std::size_t k = 0; k < static_cast<std::size_t>(frames); ++k) {
        Frame frame(first.size());
        for (std::size_t y = 0; y < height; ++y)
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t from = ((y + k * kPanY) % height) * width +
                    (x + k * kPanX) % width;
                std::memcpy(&frame[(y * width + x) * 4], &first[from * 4], 4);
            }
        clip.push_back(std::move(frame));
    }
    return clip;
}

bool is_lag(const Output& output)
{
    return output.bytes.empty() ||
        (output.bytes.size() == 1 && output.bytes[0] == 0x7F && !output.key);
}

Carried carried(const std::vector<Output>& outputs, int frames)
{
    Carried found;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (is_lag(outputs[i])) {
            found.lead += found.frames == 0;
        } else if (++found.frames == frames) {
            found.last = i;
        }
    }
    return found;
}

Comparison compare(const Frame& sent, const unsigned char* got, int bits, Size size)
{
    Comparison result;
    const double squares = squared_error(sent, got, bits, size);
    if (squares == 0)
        return result;
    result.psnr_db = psnr(squares, size);
    const std::size_t width = width_of(size), height = height_of(size);
    const std::size_t step = static_cast<std::size_t>(bits / 8), row = stride(bits, size);
    bool flipped = true, swapped = true;
    for (std::size_t y = 0; y < height && (flipped || swapped); ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const unsigned char* in = &sent[(y * width + x) * 4];
            const unsigned char* out = got + y * row + x * step;
            const unsigned char* mirrored = got + (height - 1 - y) * row + x * step;
            flipped = flipped && std::memcmp(in, mirrored, 3) == 0;
            swapped = swapped && in[0] == out[2] && in[1] == out[1] && in[2] == out[0];
        }
    }
    if (flipped)
        result.looks = Looks::upside_down;
    else if (swapped)
        result.looks = Looks::swapped;
    return result;
}

Comparer rgb_comparer(const std::vector<Frame>& clip, int bits, Size size)
{
    return [&clip, bits, size](const unsigned char* got) {
        Likeness seen;
        for (const Frame& sent : clip)
            seen.push_back(compare(sent, got, bits, size));
        return seen;
    };
}

Comparer format_comparer(const std::vector<Frame>& clip, const PixelFormat& format, Size size)
{
    std::vector<std::vector<unsigned>> sent;
    for (const Frame& frame : clip)
        sent.push_back(format_samples(format, size, frame.data()));
    return [sent = std::move(sent), &format, size](const unsigned char* got) {
        const std::vector<unsigned> samples = format_samples(format, size, got);
        Likeness seen;
        for (const std::vector<unsigned>& frame : sent)
            seen.push_back({compare_samples(format, frame, samples), std::nullopt});
        return seen;
    };
}

namespace {

constexpr double kExact = std::numeric_limits<double>::infinity();

double value(const Comparison& comparison)
{
    return comparison.psnr_db.value_or(kExact);
}

// The picture shows clip frame AT: it is more like that frame than like any
// other. A picture of nothing, alike to all, shows one frame at the most.
bool shows(const Likeness& seen, std::size_t at)
{
    for (std::size_t other = 0; other < seen.size(); ++other)
        if (other != at && value(seen[other]) >= value(seen[at]))
            return false;
    return true;
}

}  // namespace

std::optional<LineUp> line_up(const std::vector<Likeness>& pictures)
{
    if (pictures.empty() || pictures.front().empty())
        return std::nullopt;
    const std::size_t frames = pictures.front().size();
    // A clip cut short must still show two frames in order: one alone
    // cannot tell a picture that stands still from one that moves on.
    const std::size_t fewest = std::min<std::size_t>(frames, 2);
    std::optional<LineUp> whole, cut;
    double best = -kExact;
    for (std::size_t lag = 0; lag + fewest <= pictures.size(); ++lag) {
        const std::size_t shown = std::min(frames, pictures.size() - lag);
        double worst = kExact;
        bool all = true;
        for (std::size_t at = 0; at < shown && all; ++at) {
            all = shows(pictures[lag + at], at);
            worst = std::min(worst, value(pictures[lag + at][at]));
        }
        if (!all)
            continue;
        if (shown == frames && (!whole || worst > best)) {
            whole = LineUp{static_cast<int>(lag), 0};
            best = worst;
        } else if (shown < frames && !cut) {
            cut = LineUp{static_cast<int>(lag), static_cast<int>(frames - shown)};
        }
    }
    return whole ? whole : cut;
}

void ClipCheck::add(const Likeness& seen)
{
    const std::size_t at = added_++;
    const Comparison& came = seen[at];
    const double own = value(came);
    const std::string which = "frame " + std::to_string(at + 1) + " of " +
        std::to_string(seen.size());
    if (at == 0) {
        key_psnr_ = own;
    } else if (!wrong_) {
        for (std::size_t other = 0; other < seen.size() && !wrong_ && came.psnr_db; ++other) {
            const double matches = value(seen[other]);
            if (other != at && matches >= own + kBetterMatchDb)
                wrong_ = which + " comes back as frame " + std::to_string(other + 1) + " (" +
                    db(own) + " against its own, " + (std::isinf(matches) ? "exact" : db(matches)) +
                    " against that one)";
        }
        const double floor = std::min(*key_psnr_, kBestCountedDb) - kWorseThanKeyDb;
        if (!wrong_ && own < floor)
            wrong_ = which + " comes back at " + db(own) + ", the key frame at " +
                (std::isinf(*key_psnr_) ? "exact" : db(*key_psnr_));
    }
    if (!came.psnr_db)
        return;
    if (!worst_.psnr_db) {
        worst_.looks = came.looks;
    } else if (same_looks_ && worst_.looks != came.looks) {
        same_looks_ = false;
        worst_.looks.reset();
    }
    if (!worst_.psnr_db || *came.psnr_db < *worst_.psnr_db)
        worst_.psnr_db = came.psnr_db;
}

}  // namespace selnary::report
