// A small reader of our own for AVI files, for where the platform's refuses
// one: it walks the file's RIFF structure and says, in words a person can
// act on, where it goes wrong. It only reads, and checks every size it meets
// against what is left of the file before it uses it. No platform calls here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace selnary::report {

// What the walk found of the file and of its first video stream.
struct AviShape {
    std::uint64_t length = 0;  // the file's bytes
    bool riff_avi = false;  // it starts as a RIFF file of form 'AVI '
    int streams = 0;
    std::optional<int> video;  // the first video stream's number
    std::uint32_t handler = 0;  // its fccHandler
    std::uint32_t compression = 0;  // its format's biCompression
    int width = 0, height = 0, bit_count = 0;
    std::uint32_t header_frames = 0;  // the main header's count (dwTotalFrames)
    std::uint32_t stream_frames = 0;  // the video stream's (dwLength)
    std::uint32_t frames_found = 0;  // its chunks in the file's 'movi' list
    bool index = false;  // an 'idx1' index
    // What is wrong, the gravest first: why it cannot play, then what a
    // player may trip on. Empty where the structure holds.
    std::vector<std::string> problems;
};

// Reads SIZE bytes at OFFSET into OUT; false where it cannot.
using ReadAt = std::function<bool(std::uint64_t offset, std::size_t size, unsigned char* out)>;

// The shape of a file of LENGTH bytes read through READ.
AviShape walk_avi(std::uint64_t length, const ReadAt& read);

// The same of a file held in memory.
AviShape walk_avi(const std::vector<unsigned char>& file);

}  // namespace selnary::report
