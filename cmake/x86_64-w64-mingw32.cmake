# Cross toolchain: 64-bit x86 Windows, built on Debian with mingw-w64 and run under Wine.
#
# Packages: g++-mingw-w64-x86-64 (compiler, binutils, import libraries), lld
#           (the release link, see the top-level CMakeLists.txt),
#           wine wine64 (emulator).

set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(SELNARY_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
