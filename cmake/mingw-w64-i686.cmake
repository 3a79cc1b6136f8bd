# Cross build of the 32-bit vell.dll with MinGW-w64 (i686, POSIX threads), for application pools
# that run 32-bit applications. No emulator is set: the tests of this build are not run, only the
# DLL's exports and imports are checked.
set(VELL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake")
# The .def file names the exports undecorated; on x86 the __stdcall functions behind them are
# _GetFilterVersion@4 and _HttpFilterProc@12, which the linker binds to those names.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--enable-stdcall-fixup")
