// The probe frame's geometry: the one place it is written, for the probe
// format and for every helper that makes or reads such a frame. Plain
// numbers, so that code with no use for the platform's headers can have them.
#pragma once

#include <cstdint>

namespace selnary {

inline constexpr std::int32_t probe_width = 256;
inline constexpr std::int32_t probe_height = 256;  // positive: bottom-up rows
inline constexpr std::uint16_t probe_bit_count = 32;
inline constexpr std::uint32_t probe_frame_bytes = static_cast<std::uint32_t>(
    probe_width * probe_height * (probe_bit_count / 8));

}  // namespace selnary
