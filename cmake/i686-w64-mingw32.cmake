# Cross toolchain: 32-bit x86 Windows, built on Debian with mingw-w64 and run under Wine.
#
# Packages: g++-mingw-w64-i686 (compiler, binutils, import libraries), lld
#           (the release link, see the top-level CMakeLists.txt),
#           wine wine32 (emulator, needs `dpkg --add-architecture i386`).
#
# The -posix variant is used because GoogleTest needs its std::mutex and
# friends; the program itself links no thread library either way.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(SELNARY_TRIPLE i686-w64-mingw32)

if(NOT DEFINED CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER ${SELNARY_TRIPLE}-gcc-posix)
endif()
if(NOT DEFINED CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${SELNARY_TRIPLE}-g++-posix)
endif()

# Look for libraries and headers only in the target sysroot, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SELNARY_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the cross-built test programs through Wine. The tests wrap it
# further so that each gets its own prefix and virtual display.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(SELNARY_WINE wine)
  if(SELNARY_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SELNARY_WINE})
  endif()
endif()
