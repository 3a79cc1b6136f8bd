# Writes the text files of the dist zip with Windows line ends, for Notepad: config.ini from the
# example with the audit log at an absolute path, INSTALL-IIS.txt from docs/ with the version and
# bitness filled in, and CONFIG-REFERENCE.txt, the configuration reference as plain text.
# Usage: cmake -DSOURCE=<project> -DOUT=<folder> -DVERSION=<x.y.z> -DBITNESS=<x64|x86>
#        -DPANDOC=<pandoc> -P dist-files.cmake
cmake_minimum_required(VERSION 3.25)

function(write_crlf path text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${path}" "${text}")
endfunction()

# The example's AuditLog line and the comment above it, for IIS: a relative path would land in
# the worker process's current folder, C:\Windows\System32\inetsrv.
file(READ "${SOURCE}/examples/config.ini" config)
set(audit_line "(//[^\n]*\n)*AuditLog=[^\n]*\n")
if(NOT config MATCHES "${audit_line}")
  message(FATAL_ERROR "examples/config.ini has no AuditLog line")
endif()
string(REGEX REPLACE "${audit_line}"
  "// Audit log: an absolute path, in a folder that the application pools may modify (see\n// INSTALL-IIS.txt). A relative path would be taken from the worker process's current folder,\n// C:\\\\Windows\\\\System32\\\\inetsrv, where nothing may be written.\nAuditLog=C:\\\\inetpub\\\\logs\\\\vell\\\\audit.log\n"
  config "${config}")
write_crlf("${OUT}/config.ini" "${config}")

file(READ "${SOURCE}/docs/INSTALL-IIS.txt" notes)
string(REPLACE "@VERSION@" "${VERSION}" notes "${notes}")
string(REPLACE "@BITNESS@" "${BITNESS}" notes "${notes}")
write_crlf("${OUT}/INSTALL-IIS.txt" "${notes}")

if(NOT PANDOC OR PANDOC MATCHES "NOTFOUND$")
  message(FATAL_ERROR "dist needs pandoc for CONFIG-REFERENCE.txt (scripts/setup installs it)")
endif()
execute_process(
  COMMAND "${PANDOC}" --from markdown-smart --to plain --columns 96 "${SOURCE}/docs/vell.ini.md"
  OUTPUT_VARIABLE reference RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pandoc failed on docs/vell.ini.md")
endif()
write_crlf("${OUT}/CONFIG-REFERENCE.txt" "${reference}")
