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
# Debian's pefile lives with the system interpreter, which may not be first on PATH.
find_program(SELNARY_PYTHON NAMES python3 python HINTS /usr/bin)
# Wine's 32-bit loader, and its 64-bit one (Debian keeps it off PATH), which
# also runs Wine's own tools (reg.exe, wineboot) in x86 sessions.
find_program(SELNARY_WINE32 NAMES wine)
find_program(SELNARY_WINE64 NAMES wine64 PATHS /usr/lib/wine)
find_program(SELNARY_QEMU_I386 NAMES qemu-i386-static qemu-i386)

# How 32-bit x86 code runs here, said once. Every test's time limit is its
# native figure times the slowdown of the code it runs.
set(x86_mode none)
set(x86_slowdown 1)
set(x86_summary "x86 programs cannot run here: Python was not found")
if(CMAKE_CROSSCOMPILING AND SELNARY_PYTHON)
  set(wine32 "")
  set(qemu "")
  if(SELNARY_WINE32)
    set(wine32 ${SELNARY_WINE32})
  endif()
  if(SELNARY_QEMU_I386)
    set(qemu ${SELNARY_QEMU_I386})
  endif()
  execute_process(COMMAND ${SELNARY_PYTHON} ${PROJECT_SOURCE_DIR}/tools/lib/winesession/x86.py "${wine32}" "${qemu}"
                  OUTPUT_VARIABLE x86_support)
  string(REGEX MATCH "mode=([^\n]*)" _ "${x86_support}")
  set(x86_mode ${CMAKE_MATCH_1})
  string(REGEX MATCH "slowdown=([^\n]*)" _ "${x86_support}")
  set(x86_slowdown ${CMAKE_MATCH_1})
  string(REGEX MATCH "summary=([^\n]*)" _ "${x86_support}")
  set(x86_summary ${CMAKE_MATCH_1})
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
  foreach(tool SELNARY_XVFB SELNARY_XDOTOOL SELNARY_IMPORT SELNARY_PYTHON SELNARY_SETARCH)
    if(NOT ${tool})
      set(wine_reason "${tool} was not found (Debian: xvfb xdotool imagemagick python3 util-linux)")
    endif()
  endforeach()
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
foreach(tool WINE64 WINESERVER XVFB XDOTOOL IMPORT PYTHON SETARCH QEMU_I386)
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
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-tools.sh.in ${tools_file} @ONLY)
