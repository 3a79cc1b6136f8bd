# Writes the text files of the dist zip with Windows line ends: config.ini from the example, and
# INSTALL-IIS.txt from the README's "Installing on IIS" section (up to the next "## " heading).
# Usage: cmake -DREADME=README.md -DCONFIG=examples/config.ini -DOUT=<folder> -P dist-files.cmake
function(write_crlf path text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${path}" "${text}")
endfunction()

file(READ "${CONFIG}" config)
write_crlf("${OUT}/config.ini" "${config}")

file(READ "${README}" readme)
string(FIND "${readme}" "\n## Installing on IIS\n" start)
if(start LESS 0)
  message(FATAL_ERROR "${README} has no \"## Installing on IIS\" section")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${readme}" ${start} -1 notes)
string(FIND "${notes}" "\n## " end)
if(end GREATER 0)
  string(SUBSTRING "${notes}" 0 ${end} notes)
endif()
string(REGEX REPLACE "^## Installing on IIS" "# vell ${VERSION}: installing on IIS" notes "${notes}")
write_crlf("${OUT}/INSTALL-IIS.txt" "${notes}\n")
