# A test of Windows code that cannot run on this machine. It reports itself
# skipped with the reason, except where every such test must run: in CI (CI
# set) and in a release (SELNARY_REQUIRE_WINDOWS_TESTS set), where it fails
# with the reason.
#   cmake -DREASON=TEXT -P unrunnable.cmake
if((DEFINED ENV{CI} AND NOT "$ENV{CI}" MATCHES "^(|0|false|no)$")
   OR (DEFINED ENV{SELNARY_REQUIRE_WINDOWS_TESTS} AND NOT "$ENV{SELNARY_REQUIRE_WINDOWS_TESTS}" STREQUAL ""))
  message(FATAL_ERROR "cannot run here, and every test of Windows code must run: ${REASON}")
endif()
message(STATUS "skipped: ${REASON}")
