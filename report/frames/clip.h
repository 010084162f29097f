// The clip a compressor is proved with, as a recorder and a player use one:
// the frames it is given, its outputs lined up with them, and the frames
// that come back compared with those that went in. No platform calls here.
#pragma once

#include "report/frames/formats.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace selnary::report {

// A frame of 32-bit pixels, blue, green, red and an unused byte, rows
// bottom-up as in a DIB: the probe format's, at any size.
using Frame = std::vector<unsigned char>;

inline constexpr int kClipFrames = 8;
// How far beyond the clip a compressor that lags is fed, its last frame
// again: enough for an H.264 encoder's default look-ahead (40 frames) with
// its B-frames and threads.
inline constexpr int kMostExtraCalls = 64;

// The clip: the probe picture (gradients, sharp edges and noise), then the
// same picture panned a few pixels a frame, so that a delta frame carries
// real change. The same bytes on every machine; at another size, the
// gradients span the frame and the squares and noise keep their scale.
std::vector<Frame> make_clip(Size size = kProbeSize, int frames = kClipFrames);

// What one compressing call gave back.
struct Output {
    std::vector<unsigned char> bytes;
    bool key = false;  // marked AVIIF_KEYFRAME
};

// An output that stands for no frame: empty, or the one-byte skip frame
// (0x7F, not a key frame) that some compressors give while they fill a
// B-frame or look-ahead queue.
bool is_lag(const Output& output);

// The outputs of one clip's calls as far as they carry its frames: whatever
// stands for no frame is counted, but only the others carry one.
struct Carried {
    int lead = 0;  // calls before the first real frame
    int frames = 0;  // real frames among all the outputs
    std::size_t last = 0;  // the output that carried the clip's last frame, where all came
};
Carried carried(const std::vector<Output>& outputs, int frames);

// How a frame came back that is not exact, where that is all that is wrong.
enum class Looks { upside_down, swapped };

// How a frame came back: exact, or its PSNR over blue, green and red and,
// where that is all that is wrong, how it looks.
struct Comparison {
    std::optional<double> psnr_db;  // none: exact
    std::optional<Looks> looks;
};

// GOT, a frame of BITS-bit RGB (32 or 24, rows padded to four bytes) of
// SIZE, against SENT.
Comparison compare(const Frame& sent, const unsigned char* got, int bits, Size size = kProbeSize);

// How one picture that came back compares with each frame of the clip, in
// the clip's order.
using Likeness = std::vector<Comparison>;

// How a picture that came back is compared with every frame of a clip (or
// with what a perfect decoder makes of them).
using Comparer = std::function<Likeness(const unsigned char* got)>;

// As BITS-bit RGB of SIZE, against CLIP's frames of 32-bit RGB.
Comparer rgb_comparer(const std::vector<Frame>& clip, int bits, Size size = kProbeSize);

// As frames of FORMAT, in its own terms (compare_in_format), against CLIP's.
Comparer format_comparer(const std::vector<Frame>& clip, const PixelFormat& format, Size size);

// Where the pictures a player shows, one a call, line up with the clip:
// picture k shows clip frame k - lag, and those before the lag nothing new.
struct LineUp {
    int lag = 0;
    // The clip's last frames whose pictures had not come yet: so many more
    // calls show them.
    int short_by = 0;
};

// The single offset at which PICTURES show the clip, each more like its own
// frame than like any other, whatever held them back (empty frames, skip
// frames after the key frame, a decompressor that keeps one): the one at
// which they show the whole clip and match it best, else the earliest at
// which they show its first frames and stop short. None where no offset
// shows the clip.
std::optional<LineUp> line_up(const std::vector<Likeness>& pictures);

// The frames of a clip as they come back, in order, each told by how it
// compares with every frame of the clip.
class ClipCheck {
  public:
    // The next frame back.
    void add(const Likeness& seen);
    // Why the frames after the key frame are wrong, where they are: one came
    // back as another frame of the clip, or far worse than the key frame.
    const std::optional<std::string>& wrong() const
    {
        return wrong_;
    }
    // The lowest frame's PSNR, none when every frame was exact, and how
    // the frames look where that is the same for all that are not exact.
    const Comparison& worst() const
    {
        return worst_;
    }

  private:
    std::size_t added_ = 0;
    std::optional<double> key_psnr_;
    Comparison worst_;
    bool same_looks_ = true;
    std::optional<std::string> wrong_;
};

}  // namespace selnary::report
