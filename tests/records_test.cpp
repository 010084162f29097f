// The records are checked byte by byte after filling memory that held other
// bytes, so a field the fill forgets, or padding it leaves, shows up.

#include "probe/probe.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Patterns the memory holds before each fill: zero hides nothing, so the
// others matter most.
constexpr std::array<unsigned char, 3> kGarbage = {0x00, 0xA5, 0xFF};

template <typename Record>
std::vector<unsigned char> bytes_of(const Record& record)
{
    std::vector<unsigned char> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

TEST(ProbeFormat, IsExactlyTheFixedFortyBytesWhateverTheMemoryHeld)
{
    // Little-endian, in field order: biSize, biWidth, biHeight, biPlanes,
    // biBitCount, biCompression, biSizeImage, then four zero fields.
    // clang-format off
    const std::vector<unsigned char> expected = {
        0x28, 0x00, 0x00, 0x00,  0x00, 0x01, 0x00, 0x00,  0x00, 0x01, 0x00, 0x00,
        0x01, 0x00,              0x20, 0x00,
        0x00, 0x00, 0x00, 0x00,  0x00, 0x00, 0x04, 0x00,
        0x00, 0x00, 0x00, 0x00,  0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00,  0x00, 0x00, 0x00, 0x00,
    };
    // clang-format on
    for (unsigned char garbage : kGarbage) {
        BITMAPINFOHEADER format;
        std::memset(&format, garbage, sizeof format);
        selnary::fill_probe_format(format);
        EXPECT_EQ(bytes_of(format), expected) << "memory held 0x" << std::hex << int{garbage};

        // One frame's bytes, as the chooser will size its buffers by them.
        EXPECT_EQ(std::int64_t{format.biSizeImage},
                  std::int64_t{format.biWidth} * format.biHeight * (format.biBitCount / 8));
    }
}

TEST(ChooserState, IsAllZeroButItsSize)
{
    // The size the record has in this target's layout, given by the build
    // rather than taken from the header under test.
    constexpr std::size_t expected_size = SELNARY_EXPECTED_COMPVARS_SIZE;
    ASSERT_EQ(sizeof(COMPVARS), expected_size);

    for (unsigned char garbage : kGarbage) {
        COMPVARS state;
        std::memset(&state, garbage, sizeof state);
        selnary::fill_chooser_state(state);

        std::vector<unsigned char> expected(expected_size, 0);
        expected[0] = static_cast<unsigned char>(expected_size);  // cbSize, little-endian
        EXPECT_EQ(bytes_of(state), expected) << "memory held 0x" << std::hex << int{garbage};
    }
}

}  // namespace
