# Cross toolchain: 32-bit x86 Windows, built on Debian with mingw-w64 and run under Wine.
#
# Packages: g++-mingw-w64-i686 (compiler, binutils, import libraries), lld
#           (the release link, see the top-level CMakeLists.txt),
#           wine wine32 (emulator, needs `dpkg --add-architecture i386`).

set(CMAKE_SYSTEM_PROCESSOR x86)
set(SELNARY_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
