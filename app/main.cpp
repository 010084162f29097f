// selnary: shows the system's video-compressor chooser for one fixed
// uncompressed format, so a user can see which installed compressors take it.

#include "platform/platform.h"
#include "probe/probe.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    BITMAPINFOHEADER format;
    selnary::fill_probe_format(format);

    COMPVARS state;
    selnary::fill_chooser_state(state);

    // The title parameter is non-const in the SDK, but the chooser only reads it.
    static const char title[] = "selnary (" SELNARY_ARCH_TAG ")";

    // The chooser is modal; what the user picks is not ours to keep, so the
    // result and whatever it left in the state are dropped.
    ICCompressorChoose(nullptr, ICMF_CHOOSE_KEYFRAME, &format, nullptr, &state,
                       const_cast<LPSTR>(title));
    return 0;
}
