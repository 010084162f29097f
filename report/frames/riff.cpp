#include "report/frames/riff.h"

#include "report/base/text.h"

#include <algorithm>
#include <cstring>  // for std::memcpy

namespace selnary::report {
namespace {

// Lists within lists a walk follows; chunks it reads at most; the widest
// frame side any decompressor takes.
constexpr int kDeepest = 8;
constexpr std::uint64_t kMostChunks = 1u << 24;
constexpr int kWidest = 16384;

constexpr std::uint32_t code(const char (&text)[5])
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) |
        static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

std::uint32_t get32(const unsigned char* at)
{
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
        static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// A chunk's code as a person reads it: 'movi'.
std::string named(std::uint32_t id)
{
    return "'" + text::fourcc(id) + "'";
}

class Walk {
  public:
    Walk(std::uint64_t length, const ReadAt& read, AviShape& shape)
        : length_(length), read_(read), shape_(shape)
    {
    }

    void file()
    {
        shape_.length = length_;
        if (length_ == 0)
            return grave("the file is empty");
        unsigned char head[12];
        if (length_ < sizeof head)
            return grave("it is only " + std::to_string(length_) +
                         " bytes long: too short to be an AVI file");
        if (!read_(0, sizeof head, head))
            return grave("it cannot be read");
        if (get32(head) != code("RIFF"))
            return grave("it is not a RIFF file, as AVI files are: it starts with " +
                         named(get32(head)));
        if (get32(head + 8) != code("AVI "))
            return grave("it is a RIFF file of form " + named(get32(head + 8)) +
                         ", not an AVI file");
        shape_.riff_avi = true;
        std::uint64_t end = 8 + static_cast<std::uint64_t>(get32(head + 4));
        if (end > length_) {
            grave("it ends at byte " + std::to_string(length_) +
                  ", inside the RIFF chunk that says it is " + std::to_string(end - 8) +
                  " bytes: the file is cut short");
            end = length_;
        }
        chunks(12, end, 0, 0);
        judge();
    }

  private:
    // The chunks from BEGIN to END, inside the list of type LIST (0: the file's own).
    void chunks(std::uint64_t begin, std::uint64_t end, int depth, std::uint32_t list)
    {
        std::uint64_t at = begin;
        while (at + 8 <= end && !stopped_) {
            unsigned char header[12];
            if (++chunks_ > kMostChunks) {
                grave("it has more than " + std::to_string(kMostChunks) + " chunks");
                stopped_ = true;
                return;
            }
            if (!read_(at, 8, header)) {
                grave("it cannot be read at byte " + std::to_string(at));
                stopped_ = true;
                return;
            }
            const std::uint32_t id = get32(header);
            std::uint64_t size = get32(header + 4);
            const std::uint64_t body = at + 8;
            const bool overruns = size > end - body;
            if (overruns) {
                // What is there is still read; then the walk ends where the
                // file does, and goes on after the list where only the list does.
                grave(end == length_ ? "it ends at byte " + std::to_string(length_) +
                              ", inside the " + named(id) + " chunk at byte " + std::to_string(at) +
                              ", which says it is " + std::to_string(size) +
                              " bytes: the file is cut short"
                                     : "its " + named(id) + " chunk at byte " + std::to_string(at) +
                              " says it is " + std::to_string(size) +
                              " bytes, past the end of the " +
                              (list ? named(list) + " list" : std::string("file")) + " it is in");
                size = end - body;
                stopped_ = end == length_;
                cut_ = true;
            }
            if (id == code("LIST") || id == code("RIFF")) {
                if (size >= 4 && read_(body, 4, header + 8))
                    enter(get32(header + 8), body + 4, body + size, depth);
            } else {
                chunk(id, body, size, list);
            }
            if (overruns)
                return;
            at = body + size + (size & 1);
        }
    }

    void enter(std::uint32_t type, std::uint64_t begin, std::uint64_t end, int depth)
    {
        if (depth >= kDeepest) {
            grave("its lists are nested more than " + std::to_string(kDeepest) + " deep");
            stopped_ = true;
            return;
        }
        if (type == code("hdrl") || type == code("strl") || type == code("movi") ||
            type == code("rec ")) {
            if (type == code("strl"))
                in_video_ = false;
            chunks(begin, end, depth + 1, type);
        }
    }

    void chunk(std::uint32_t id, std::uint64_t body, std::uint64_t size, std::uint32_t list)
    {
        unsigned char bytes[40];
        const auto fields = [&](std::size_t wanted) {
            return size >= wanted && read_(body, wanted, bytes);
        };
        if (id == code("avih") && list == code("hdrl") && fields(40)) {
            header_ = true;
            shape_.header_frames = get32(bytes + 16);
        } else if (id == code("strh") && list == code("strl") && fields(36)) {
            const int number = shape_.streams++;
            types_.push_back(get32(bytes));
            in_video_ = get32(bytes) == code("vids") && !shape_.video;
            if (in_video_) {
                shape_.video = number;
                shape_.handler = get32(bytes + 4);
                shape_.stream_frames = get32(bytes + 32);
            }
        } else if (id == code("strf") && list == code("strl") && in_video_ && fields(20)) {
            std::int32_t width, height;
            std::memcpy(&width, bytes + 4, 4);
            std::memcpy(&height, bytes + 8, 4);
            shape_.width = width;
            shape_.height = height;
            shape_.bit_count = bytes[14] | bytes[15] << 8;
            shape_.compression = get32(bytes + 16);
            format_ = true;
        } else if (id == code("idx1") && list == 0) {
            shape_.index = true;
            if (size % 16 != 0)
                minor("its index ('idx1') is " + std::to_string(size) +
                      " bytes, which is not a whole number of entries");
        } else if ((list == code("movi") || list == code("rec ")) && shape_.video) {
            // 'NNdc' or 'NNdb': a frame of stream NN.
            const char digits[2] = {static_cast<char>(id & 0xFF),
                                    static_cast<char>(id >> 8 & 0xFF)};
            const std::uint32_t kind = id >> 16;
            if (digits[0] >= '0' && digits[0] <= '9' && digits[1] >= '0' && digits[1] <= '9' &&
                (kind == ('d' | 'c' << 8) || kind == ('d' | 'b' << 8)) &&
                (digits[0] - '0') * 10 + (digits[1] - '0') == *shape_.video)
                ++shape_.frames_found;
        }
    }

    // What the walk says of the whole, once it has read what there is.
    void judge()
    {
        if (!header_)
            grave("it has no AVI header ('avih' in an 'hdrl' list)");
        if (!shape_.video) {
            std::string kinds;
            for (const std::uint32_t type : types_)
                kinds += (kinds.empty() ? "" : ", ") + named(type);
            grave(shape_.streams == 0 ? "it has no streams at all"
                                      : "it has no video stream: its streams are " + kinds);
            return;
        }
        if (!format_)
            grave("its video stream has no format ('strf')");
        else if (shape_.width <= 0 || shape_.width > kWidest || shape_.height == 0 ||
                 shape_.height > kWidest || shape_.height < -kWidest)
            grave("its frames are " + std::to_string(shape_.width) + " x " +
                  std::to_string(shape_.height) + " pixels: not a size any decompressor takes");
        if (!shape_.index)
            minor("it has no index ('idx1'): players that need one cannot seek in it, and some "
                  "will not open it");
        if (!stopped_ && !cut_ && shape_.header_frames != shape_.frames_found)
            minor("its header says " + std::to_string(shape_.header_frames) + " frames, and " +
                  std::to_string(shape_.frames_found) + " are there");
    }

    void grave(std::string problem)
    {
        shape_.problems.insert(shape_.problems.begin() + static_cast<long>(graves_++),
                               std::move(problem));
    }
    void minor(std::string problem)
    {
        shape_.problems.push_back(std::move(problem));
    }

    std::uint64_t length_;
    const ReadAt& read_;
    AviShape& shape_;
    std::uint64_t chunks_ = 0;
    std::size_t graves_ = 0;
    // Stopped: the walk ended where the file is cut; cut: some chunk ran past its list.
    bool stopped_ = false, cut_ = false, header_ = false, format_ = false, in_video_ = false;
    std::vector<std::uint32_t> types_;
};

}  // namespace

AviShape walk_avi(std::uint64_t length, const ReadAt& read)
{
    AviShape shape;
    Walk(length, read, shape).file();
    return shape;
}

AviShape walk_avi(const std::vector<unsigned char>& file)
{
    return walk_avi(file.size(),
                    [&file](std::uint64_t offset, std::size_t size, unsigned char* out) {
                        if (offset > file.size() || size > file.size() - offset)
                            return false;
                        std::memcpy(out, file.data() + offset, size);
                        return true;
                    });
}

}  // namespace selnary::report
