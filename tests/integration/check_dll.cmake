# Checks a built vell.dll as the web server's loader sees it, with objdump -p: the image is of the
# expected machine, it exports exactly GetFilterVersion and HttpFilterProc and vell's own exports
# for other hosts (include/vell/vell.h) by those undecorated names (a 32-bit __stdcall name would
# otherwise read _GetFilterVersion@4), and it imports only
# DLLs that every Windows system has, so no MinGW runtime (libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll) has to be installed next to it. Its version resource names the product and
# VERSION, so that Explorer and PowerShell show what `vell --version` says.
# Usage: cmake -DOBJDUMP=<objdump> -DDLL=<vell.dll> -DFORMAT=<pei-x86-64|pei-i386> -DVERSION=<x.y.z>
#        -P check_dll.cmake
execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump ERROR_VARIABLE err
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc}): ${err}")
endif()
set(failures "")

if(NOT dump MATCHES "file format ${FORMAT}\n")
  string(REGEX MATCH "file format [^\n]*" format "${dump}")
  string(APPEND failures "expected file format ${FORMAT}, found \"${format}\"\n")
endif()

# The export names, from the name pointer table up to the blank line that ends it.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
set(exports "")
if(at LESS 0)
  string(APPEND failures "no export name table\n")
else()
  string(SUBSTRING "${dump}" ${at} -1 table)
  string(FIND "${table}" "\n\n" end)
  string(SUBSTRING "${table}" 0 ${end} table)
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
    string(STRIP "${name}" name)
    list(APPEND exports "${name}")
  endforeach()
endif()
list(SORT exports)
# Kept in step with host/vell.def.
set(expected GetFilterVersion HttpFilterProc VellGetDecidingRule VellGetLoadReport VellGetQuietNotifications
    VellGetVersion VellReopenAuditLog VellSetStartOptions VellTraceRequest)
list(SORT expected)
if(NOT exports STREQUAL expected)
  string(APPEND failures "exports are \"${exports}\", expected exactly \"${expected}\"\n")
endif()

# Imports: system DLLs only.
string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${dump}")
set(imports "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^DLL Name: " "" name "${row}")
  string(STRIP "${name}" name)
  list(APPEND imports "${name}")
  string(TOLOWER "${name}" lower)
  if(lower MATCHES "^(libstdc\\+\\+|libgcc|libwinpthread|libssp|libatomic|libgomp)")
    string(APPEND failures "imports the MinGW runtime DLL ${name}\n")
  elseif(NOT lower MATCHES "^(kernel32|user32|advapi32|msvcrt|ntdll|ws2_32|ucrtbase)\\.dll$"
         AND NOT lower MATCHES "^api-ms-win-")
    string(APPEND failures "imports ${name}, which is not a system DLL\n")
  endif()
endforeach()
if(NOT imports)
  string(APPEND failures "no import table found\n")
endif()

# The version resource's strings: a UTF-16 name, its NUL, padding to four bytes, then the UTF-16
# value and its NUL.
function(utf16_hex text out)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()
file(READ "${DLL}" image HEX)
foreach(pair "ProductName;vell" "ProductVersion;${VERSION}" "FileVersion;${VERSION}")
  list(GET pair 0 name)
  list(GET pair 1 value)
  utf16_hex("${name}" key)
  utf16_hex("${value}" text)
  string(FIND "${image}" "${key}0000${text}0000" at)
  string(FIND "${image}" "${key}00000000${text}0000" padded)
  if(at LESS 0 AND padded LESS 0)
    string(APPEND failures "the version resource has no ${name} \"${value}\"\n")
  endif()
endforeach()

message(STATUS "${DLL}: ${FORMAT}; exports ${exports}; imports ${imports}; version ${VERSION}")
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
