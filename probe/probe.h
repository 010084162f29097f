// The two records handed to the compressor chooser: the probe format it is
// asked to compress and the empty state it works in.
#pragma once

#include "platform/platform.h"

namespace selnary {

// The probe frame's geometry: the one place it is written, for the records
// below and for every helper that makes or reads such a frame.
inline constexpr LONG probe_width = 256;
inline constexpr LONG probe_height = 256;  // positive: bottom-up rows
inline constexpr WORD probe_bit_count = 32;
inline constexpr DWORD probe_frame_bytes = probe_width * probe_height * (probe_bit_count / 8);

// An uncompressed 256 x 256 frame at 32 bits per pixel, bottom-up.
void fill_probe_format(BITMAPINFOHEADER& format);

// All zero but cbSize, so nothing steers the chooser's initial selection.
void fill_chooser_state(COMPVARS& state);

}  // namespace selnary
