// The two records handed to the compressor chooser: the probe format it is
// asked to compress and the empty state it works in.
#pragma once

#include "platform/platform.h"
#include "probe/geometry.h"

namespace selnary {

// An uncompressed 256 x 256 frame at 32 bits per pixel, bottom-up.
void fill_probe_format(BITMAPINFOHEADER& format);

// All zero but cbSize, so nothing steers the chooser's initial selection.
void fill_chooser_state(COMPVARS& state);

}  // namespace selnary
