# Writes a man page from its Markdown source with pandoc: the same text as the reference in docs/.
# pandoc sizes tables to 70 ens; they are narrowed so that they fit an 80-column terminal, and
# text is set ragged right, so that the narrow columns of a table need no stretched lines.
# Usage: cmake -DPANDOC=pandoc -DIN=docs/vell.md -DOUT=vell.1 -DVERSION=0.1.0 -P man.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(
  COMMAND "${PANDOC}" --standalone --from markdown-smart --to man --metadata "footer=vell ${VERSION}" "${IN}"
  OUTPUT_VARIABLE page
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pandoc failed on ${IN}")
endif()
string(REGEX MATCHALL "lw\\([0-9.]+n\\)" widths "${page}")
list(REMOVE_DUPLICATES widths)
foreach(width IN LISTS widths)
  string(REGEX REPLACE "lw\\(([0-9]+)\\.?([0-9]*)n\\)" "\\1" whole "${width}")
  math(EXPR narrowed "${whole} * 85 / 100")
  string(REPLACE "${width}" "lw(${narrowed}n)" page "${page}")
endforeach()
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.ad l\n" page "${page}")
file(WRITE "${OUT}" "${page}")
