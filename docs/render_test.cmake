# Renders a man page as `man -l` does on an 80-column terminal and fails on any groff warning or a
# page without its NAME, SYNOPSIS and SEE ALSO sections.
# Usage: cmake -DMAN=man -DPAGE=vell.1 -P render_test.cmake
cmake_minimum_required(VERSION 3.25)
set(ENV{MANWIDTH} 80)
set(ENV{MANPAGER} cat)
set(ENV{LC_ALL} C.UTF-8)
execute_process(COMMAND "${MAN}" --warnings -l "${PAGE}"
                OUTPUT_VARIABLE text ERROR_VARIABLE warnings RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "man -l ${PAGE}: status ${status}\n${warnings}")
endif()
foreach(section NAME SYNOPSIS "SEE ALSO")
  if(NOT text MATCHES "\n${section}\n")
    message(FATAL_ERROR "man -l ${PAGE}: no ${section} section\n${text}")
  endif()
endforeach()
