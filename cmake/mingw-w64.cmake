# The body shared by the mingw-w64 toolchain files: they set SELNARY_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR, then include this.
#
# The -win32 compiler variant: its thread model needs no thread library, so
# none reaches the shipped programs. GoogleTest needs the -posix variant's
# std::mutex; tests/ builds it and its one program with that variant.

set(CMAKE_SYSTEM_NAME Windows)

if(NOT DEFINED CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER ${SELNARY_TRIPLE}-gcc-win32)
endif()
if(NOT DEFINED CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${SELNARY_TRIPLE}-g++-win32)
endif()

# Look for libraries and headers only in the target sysroot, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SELNARY_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the cross-built test programs through Wine. The tests wrap it
# further so that each gets its own prefix and virtual display.
#
# 64-bit programs go straight to Wine's 64-bit loader (Debian keeps it in
# /usr/lib/wine, off PATH): Debian's `wine` command always starts the 32-bit
# loader first, which fails outright on a kernel that cannot run 32-bit code.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "AMD64")
    find_program(SELNARY_WINE NAMES wine64 wine PATHS /usr/lib/wine)
  else()
    find_program(SELNARY_WINE NAMES wine)
  endif()
  if(SELNARY_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SELNARY_WINE})
  endif()
endif()
