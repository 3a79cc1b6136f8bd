# install (Linux): what `cmake --install` puts where, laid out as the Debian package has it: the
# vell command, vell.so in <libdir>/vell/ beside a link to the configuration in <sysconfdir>/vell/
# (the filter reads config.ini from its own folder), the audit log's folder, the licences of the
# code built in and the man pages.
if(WIN32)
  return()
endif()

set(VELL_MODULE_DIR "${CMAKE_INSTALL_LIBDIR}/vell")
set(VELL_CONFIG_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vell")
set(VELL_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/vell")
set(VELL_NGINX_MODULES_DIR "lib/nginx/modules" CACHE STRING
    "Where nginx looks for dynamic modules, under the install prefix")
option(VELL_INSTALL_LICENSES "Install the licence files of the code built in (a Debian package has
them in its copyright file instead)" ON)

install(TARGETS vell_cli RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(TARGETS vell LIBRARY DESTINATION "${VELL_MODULE_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

configure_file("${PROJECT_SOURCE_DIR}/examples/installed-config.ini.in"
               "${CMAKE_CURRENT_BINARY_DIR}/installed-config.ini" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/installed-config.ini" DESTINATION "${VELL_CONFIG_DIR}"
        RENAME config.ini)
install(CODE "
  set(_link \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_LIBDIR}/vell/config.ini\")
  message(STATUS \"Installing: \${_link} -> ${VELL_CONFIG_DIR}/config.ini\")
  file(CREATE_LINK \"${VELL_CONFIG_DIR}/config.ini\" \"\${_link}\" SYMBOLIC)")
install(DIRECTORY DESTINATION "${VELL_LOG_DIR}")

if(TARGET ngx_http_vell_module)
  install(FILES "${VELL_NGINX_MODULE}" DESTINATION "${VELL_NGINX_MODULES_DIR}")
endif()

# The licences of third-party code compiled into the module and the command: a name and its
# licence file each, for those this build has. Add a pair when another library is built in.
set(_licenses)
if(NOT VELL_SYSTEM_RE2 AND EXISTS "${VELL_RE2_SOURCE_DIR}/LICENSE")
  list(APPEND _licenses RE2 "${VELL_RE2_SOURCE_DIR}/LICENSE")
endif()
if(EXISTS "${PROJECT_SOURCE_DIR}/.deps/libinjection-src/COPYING")
  list(APPEND _licenses libinjection "${PROJECT_SOURCE_DIR}/.deps/libinjection-src/COPYING")
endif()
if(VELL_INSTALL_LICENSES)
  while(_licenses)
    list(POP_FRONT _licenses _name _file)
    install(FILES "${_file}" DESTINATION "${CMAKE_INSTALL_DOCDIR}/licenses" RENAME "${_name}")
  endwhile()
endif()

# Man pages: docs/NAME.SECTION as roff, or docs/NAME.SECTION.md made into roff with pandoc.
file(GLOB _man_pages CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/*.[1-8]"
     "${PROJECT_SOURCE_DIR}/docs/*.[1-8].md")
find_program(VELL_PANDOC pandoc)
set(_man_outputs)
foreach(_page IN LISTS _man_pages)
  get_filename_component(_name "${_page}" NAME)
  string(REGEX REPLACE "\\.md$" "" _name "${_name}")
  string(REGEX MATCH "[1-8]$" _section "${_name}")
  if(_page MATCHES "\\.md$")
    if(NOT VELL_PANDOC)
      message(WARNING "pandoc not found: ${_page} is not made into a man page")
      continue()
    endif()
    set(_out "${CMAKE_CURRENT_BINARY_DIR}/man/${_name}")
    add_custom_command(OUTPUT "${_out}"
      COMMAND "${VELL_PANDOC}" --standalone --to man "${_page}" -o "${_out}"
      DEPENDS "${_page}" COMMENT "Making the man page ${_name}" VERBATIM)
    list(APPEND _man_outputs "${_out}")
  else()
    set(_out "${_page}")
  endif()
  install(FILES "${_out}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${_section}")
endforeach()
if(_man_outputs)
  add_custom_target(man ALL DEPENDS ${_man_outputs})
endif()
