# Cross build of the 32-bit vell.dll and its Windows tests with MinGW-w64 (i686, POSIX threads),
# for application pools that run 32-bit applications; the tests run under 32-bit wine (wine32:i386,
# which scripts/setup installs).
set(VELL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake")
# The .def file names the exports undecorated; on x86 the __stdcall functions behind them are
# _GetFilterVersion@4 and _HttpFilterProc@12, which the linker binds to those names.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--enable-stdcall-fixup")
# The 32-bit loader directly, as the 64-bit build names the 64-bit one.
find_program(VELL_WINE32 NAMES wine PATHS /usr/lib/wine /usr/lib/i386-linux-gnu/wine NO_DEFAULT_PATH)
if(VELL_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VELL_WINE32}")
endif()
