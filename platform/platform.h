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

// What differs between targets, decided here alone: the architecture tag in
// the chooser's title and the record sizes of each layout. Any other target
// fails to compile rather than guess.
#if defined(_M_IX86) || defined(__i386__)
#define SELNARY_ARCH_TAG "x86"
static_assert(sizeof(COMPVARS) == 64, "COMPVARS is 64 bytes on x86");
// The PE format requires 64 on x86 for Windows XP and earlier, whatever the
// header's record has grown to.
inline constexpr DWORD load_config_size = 64;
#elif (defined(_M_X64) && !defined(_M_ARM64EC)) || defined(__x86_64__)
#define SELNARY_ARCH_TAG "x64"
static_assert(sizeof(COMPVARS) == 96, "COMPVARS is 96 bytes on x64");
inline constexpr DWORD load_config_size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64);
#else
#error "selnary is built for x86 or x64 Windows only"
#endif

}  // namespace selnary
