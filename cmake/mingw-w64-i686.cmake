# Cross build of the 32-bit vell.dll with MinGW-w64 (i686, POSIX threads), for application pools
# that run 32-bit applications. No emulator is set: the tests of this build are not run, only the
# DLL's exports and imports are checked.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_OBJDUMP i686-w64-mingw32-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The .def file names the exports undecorated; on x86 the __stdcall functions behind them are
# _GetFilterVersion@4 and _HttpFilterProc@12, which the linker binds to those names.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--enable-stdcall-fixup")
