# Cross build of vell.dll and its Windows tests with MinGW-w64 (x86-64, POSIX threads); the tests
# run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_OBJDUMP x86_64-w64-mingw32-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The 64-bit loader directly: the "wine" wrapper picks a 32-bit loader when one is installed.
find_program(VELL_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(VELL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VELL_WINE}")
endif()
