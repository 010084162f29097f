// The one door to the platform: Windows and the Video for Windows
// compression manager. Everything else includes this, never the SDK headers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
#include <vfw.h>  // for ICCompressorChoose, COMPVARS, ICMF_CHOOSE_KEYFRAME

// The chooser reads these records by layout, so pin their sizes for the target.
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");

namespace selnary {

#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(COMPVARS) == 64, "COMPVARS is 64 bytes on x86");
// The load-configuration size loaders before Windows 8 insist on for x86,
// whatever the header's record has grown to.
inline constexpr DWORD load_config_size = 64;
#else
#error "selnary is built for 32-bit x86 Windows only"
#endif

}  // namespace selnary
