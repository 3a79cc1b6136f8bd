# Cross build of vell.dll and its Windows tests with MinGW-w64 (x86-64, POSIX threads); the tests
# run under wine.
set(VELL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake")
# The 64-bit loader directly: the "wine" wrapper picks a 32-bit loader when one is installed.
find_program(VELL_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(VELL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VELL_WINE}")
endif()
