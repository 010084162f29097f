#include "probe/probe.h"

#include <cstring>  // for std::memset

namespace selnary {

// Each record is zeroed whole first, so fields not named here (and any
// padding) never carry what the memory held before.

void fill_probe_format(BITMAPINFOHEADER& format)
{
    std::memset(&format, 0, sizeof format);
    format.biSize = sizeof format;
    format.biWidth = probe_width;
    format.biHeight = probe_height;
    format.biPlanes = 1;
    format.biBitCount = probe_bit_count;
    format.biCompression = BI_RGB;
    format.biSizeImage = probe_frame_bytes;
}

void fill_chooser_state(COMPVARS& state)
{
    std::memset(&state, 0, sizeof state);
    state.cbSize = sizeof state;
}

}  // namespace selnary
