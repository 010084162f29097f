# The body shared by the mingw-w64 toolchain files: they set SELNARY_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR, then include this.
#
# The -posix compiler variant is used because GoogleTest needs its std::mutex
# and friends; the program itself links no thread library either way.

set(CMAKE_SYSTEM_NAME Windows)

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

# CTest runs the cross-built test programs through Wine, which starts 32- and
# 64-bit programs alike. The tests wrap it further so that each gets its own
# prefix and virtual display.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(SELNARY_WINE wine)
  if(SELNARY_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SELNARY_WINE})
  endif()
endif()
