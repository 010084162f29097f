// The clip as a recorder writes it: an AVI file made through the platform's
// AVI file library, one video stream of what a compressor gave back (or of
// the frames it was given), so that a person can play it and a decoder no
// one here wrote can check it.
#pragma once

#include "report/frames/clip.h"

#include <optional>
#include <string>
#include <vector>

namespace selnary::report {

// The frames of a video stream, written as they are.
struct Stream {
    unsigned long handler = 0;  // the stream's fccHandler: the compressor's code, or 0
    std::vector<unsigned char> format;  // its BITMAPINFOHEADER, palette or masks included
    std::vector<Output> frames;  // in order, one a call; an empty one is written empty
};

// What the AVI file library answered, by name where it has one, with its
// value: "AVIERR_FILEOPEN (0x8004406f)".
std::string avierr_text(long result);

// STREAM as the file PATH (UTF-8) at 30 frames a second, each frame marked
// a key frame where it was. The file is closed whole, with its index, also
// where a write fails part way. What went wrong, in the platform's words,
// or none.
std::optional<std::string> write_avi(const std::string& path, const Stream& stream);

}  // namespace selnary::report
