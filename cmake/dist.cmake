# dist (Windows builds): the zip an IIS operator installs from, holding vell.dll, an example
# config.ini, vell.exe (for vell check), the installation notes (docs/INSTALL-IIS.txt), the
# configuration reference as plain text (written by pandoc, which scripts/setup installs) and the
# licences of the code the DLL carries (RE2, libinjection).
if(NOT WIN32)
  return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_dist_name "vell-${PROJECT_VERSION}-win64")
else()
  set(_dist_name "vell-${PROJECT_VERSION}-win32")
endif()
set(_dist_dir "${CMAKE_BINARY_DIR}/dist")
find_program(VELL_PANDOC pandoc)
add_custom_target(dist
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_dist_dir}/${_dist_name}" "${_dist_dir}/${_dist_name}.zip"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_dist_dir}/${_dist_name}"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:vell>" "${_dist_dir}/${_dist_name}/vell.dll"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:vell_cli>" "${_dist_dir}/${_dist_name}/vell.exe"
  # RE2 and libinjection, compiled into vell.dll, ask for their licences to travel with it.
  COMMAND "${CMAKE_COMMAND}" -E copy "${VELL_LIBINJECTION_SOURCE_DIR}/COPYING"
          "${_dist_dir}/${_dist_name}/LICENSE-libinjection.txt"
  COMMAND "${CMAKE_COMMAND}" -E copy "${VELL_RE2_SOURCE_DIR}/LICENSE"
          "${_dist_dir}/${_dist_name}/LICENSE-RE2.txt"
  # The runtime libraries linked in carry debug sections that an installed filter does not need.
  COMMAND "${CMAKE_STRIP}" --strip-debug "${_dist_dir}/${_dist_name}/vell.dll"
          "${_dist_dir}/${_dist_name}/vell.exe"
  COMMAND "${CMAKE_COMMAND}" "-DSOURCE=${PROJECT_SOURCE_DIR}" "-DOUT=${_dist_dir}/${_dist_name}"
          "-DVERSION=${PROJECT_VERSION}" "-DBITNESS=${VELL_BITNESS}" "-DPANDOC=${VELL_PANDOC}"
          -P "${CMAKE_CURRENT_LIST_DIR}/dist-files.cmake"
  COMMAND "${CMAKE_COMMAND}" -E chdir "${_dist_dir}"
          "${CMAKE_COMMAND}" -E tar cf "${_dist_name}.zip" --format=zip "${_dist_name}"
  COMMAND "${CMAKE_COMMAND}" -E echo "${_dist_dir}/${_dist_name}.zip"
  DEPENDS vell vell_cli
  VERBATIM)
