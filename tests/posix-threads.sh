#!/bin/sh
# A compiler launcher: runs the -posix variant of the mingw-w64 compiler CMake
# chose (the -win32 one), with the same arguments. GoogleTest needs the posix
# thread model's std::mutex; the shipped programs need no thread library, so
# only GoogleTest and the program that links it are built this way.
#   posix-threads.sh COMPILER ARGS...
compiler=$1
shift
exec "${compiler%-win32}-posix" "$@"
