# How this build's programs run under Wine, found once at configure time for
# the run script, the benchmark and the tests alike, and written to
# wine-tools.sh in the build folder: Wine and its wineserver, the display
# tools, the folder for prefixes, and how 32-bit x86 code runs here
# (tools/lib/winesession/x86.py). A build configured with BUILD_TESTING=OFF runs
# just the same. Sets wine_reason (why Windows programs cannot run under Wine
# here, or empty), x86_mode, x86_slowdown, x86_summary, slowdown (this
# target's) and tools_file.

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(wine_arch x86)
else()
  set(wine_arch x64)
endif()

find_program(SELNARY_BASH bash)  # the shell-script tests and their compiler launcher
find_program(SELNARY_XVFB Xvfb)
find_program(SELNARY_XDOTOOL xdotool)
find_program(SELNARY_IMPORT import)  # ImageMagick: the run's picture of the chooser
find_program(SELNARY_SETARCH setarch)  # starts Wine's programs without address randomisation
# ffmpeg: a reader and a decoder no one here wrote, for the recordings
find_program(SELNARY_FFMPEG ffmpeg)
find_program(SELNARY_FFPROBE ffprobe)
# Debian's pefile lives with the system interpreter, which may not be first on PATH.
find_program(SELNARY_PYTHON NAMES python3 python HINTS /usr/bin)
# Wine's 32-bit loader, and its 64-bit one (Debian keeps it off PATH), which
# also runs Wine's own tools (reg.exe, wineboot) in x86 sessions.
find_program(SELNARY_WINE32 NAMES wine)
find_program(SELNARY_WINE64 NAMES wine64 PATHS /usr/lib/wine)
find_program(SELNARY_QEMU_I386 NAMES qemu-i386-static qemu-i386)

# Whether the Python found runs at all: the harness and the test drivers are
# Python. Empty when it does.
set(python_reason "")
if(NOT SELNARY_PYTHON)
  set(python_reason "Python was not found (Debian: python3)")
else()
  execute_process(COMMAND ${SELNARY_PYTHON} -c "import sys; sys.exit(sys.version_info < (3, 9))"
                  RESULT_VARIABLE python_status OUTPUT_QUIET ERROR_QUIET)
  if(NOT python_status EQUAL 0)
    set(python_reason "${SELNARY_PYTHON} does not run as Python 3.9 or later (${python_status})")
  endif()
endif()

# How 32-bit x86 code runs here, said once, as x86.py answers: one JSON
# object, taken only from a run that succeeded. Every test's time limit is
# its native figure times the slowdown of the code it runs.
set(x86_mode none)
set(x86_slowdown 1)
if(python_reason)
  set(x86_summary "x86 programs cannot run here: ${python_reason}")
else()
  set(x86_summary "x86 programs do not run under Wine in a build for Windows itself")
endif()
if(CMAKE_CROSSCOMPILING AND NOT python_reason)
  set(wine32 "")
  set(qemu "")
  if(SELNARY_WINE32)
    set(wine32 ${SELNARY_WINE32})
  endif()
  if(SELNARY_QEMU_I386)
    set(qemu ${SELNARY_QEMU_I386})
  endif()
  set(x86_py ${PROJECT_SOURCE_DIR}/tools/lib/winesession/x86.py)
  execute_process(COMMAND ${SELNARY_PYTHON} ${x86_py} "${wine32}" "${qemu}"
                  RESULT_VARIABLE x86_status OUTPUT_VARIABLE x86_answer ERROR_VARIABLE x86_error)
  string(JSON answer_mode ERROR_VARIABLE mode_error GET "${x86_answer}" mode)
  string(JSON answer_slowdown ERROR_VARIABLE slowdown_error GET "${x86_answer}" slowdown)
  string(JSON answer_summary ERROR_VARIABLE summary_error GET "${x86_answer}" summary)
  if(NOT x86_status EQUAL 0)
    string(STRIP "${x86_error}" x86_error)
    string(REPLACE "\n" " " x86_error "${x86_error}")
    set(x86_summary "x86 programs cannot run here: ${x86_py} failed (status ${x86_status}): ${x86_error}")
  elseif(mode_error OR slowdown_error OR summary_error
         OR NOT answer_mode MATCHES "^(native|machine-emulation|private-emulation|none)$"
         OR NOT answer_slowdown MATCHES "^[1-9][0-9]*$")
    set(x86_summary "x86 programs cannot run here: ${x86_py} gave no answer that reads: ${x86_answer}")
  else()
    set(x86_mode ${answer_mode})
    set(x86_slowdown ${answer_slowdown})
    set(x86_summary ${answer_summary})
  endif()
  message(STATUS "${x86_summary}")
endif()
set(wine_program "")
set(wine_reason "")
if(NOT CMAKE_CROSSCOMPILING)
  set(wine_reason "needs Wine and an X display, which a native Windows build does not have")
elseif(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(wine_reason "Wine was not found (Debian: wine wine32 wine64)")
else()
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 wine_program)
  # The wineserver that belongs to this wine is the one installed beside it.
  file(REAL_PATH ${wine_program} wine_real_path)
  get_filename_component(wine_dir ${wine_real_path} DIRECTORY)
  find_program(SELNARY_WINESERVER wineserver HINTS ${wine_dir} NO_DEFAULT_PATH)
  if(NOT SELNARY_WINESERVER)
    set(wine_reason "no wineserver beside ${wine_real_path}")
  endif()
  foreach(tool SELNARY_XVFB SELNARY_XDOTOOL SELNARY_IMPORT SELNARY_SETARCH)
    if(NOT ${tool})
      set(wine_reason "${tool} was not found (Debian: xvfb xdotool imagemagick util-linux)")
    endif()
  endforeach()
  if(python_reason)
    set(wine_reason "${python_reason}")
  endif()
  if(NOT wine_reason AND wine_arch STREQUAL x86 AND x86_mode STREQUAL none)
    set(wine_reason "${x86_summary}")
  elseif(NOT wine_reason AND NOT wine_arch STREQUAL x86)
    execute_process(COMMAND ${wine_program} --version
                    RESULT_VARIABLE wine_status OUTPUT_QUIET ERROR_VARIABLE wine_error
                    ERROR_STRIP_TRAILING_WHITESPACE)
    if(NOT wine_status EQUAL 0)
      string(REPLACE "\n" " " wine_error "${wine_error}")
      set(wine_reason "${wine_program} cannot start ${wine_arch} programs on this machine (${wine_error})")
    endif()
  endif()
endif()
foreach(tool WINE64 WINESERVER XVFB XDOTOOL IMPORT PYTHON SETARCH QEMU_I386 FFMPEG FFPROBE)
  set(tool_${tool} "")
  if(SELNARY_${tool})
    set(tool_${tool} ${SELNARY_${tool}})
  endif()
endforeach()
# How many times longer this target's programs take here than natively.
if(wine_arch STREQUAL x86)
  set(slowdown ${x86_slowdown})
else()
  set(slowdown 1)
endif()

# These go in single quotes.
string(REPLACE "'" "" wine_unavailable "${wine_reason}")
string(REPLACE "'" "" x86_summary_quoted "${x86_summary}")
# Wine prefixes live here: the run's, the tests', all copied from one template
# per Wine version. The presets share one folder between their builds.
set(SELNARY_WINE_ROOT ${CMAKE_BINARY_DIR}/wine CACHE PATH "Folder for Wine prefixes")
set(tools_file ${CMAKE_BINARY_DIR}/wine-tools.sh)
# The programs' paths are generator expressions, known once every target is:
# the configured text is generated into the tools file at the end.
set(tools_configured ${CMAKE_BINARY_DIR}/CMakeFiles/wine-tools.sh.in)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-tools.sh.in ${tools_configured} @ONLY)
file(GENERATE OUTPUT ${tools_file} INPUT ${tools_configured})
