# What `cmake --install` and the Debian package put where. Every rule for a
# target the build may not make (no window program without QtWidgets, a layer
# without sources yet) waits for that target or file to exist.
include(GNUInstallDirs)

set(HALVARA_SOVERSION 1)
set(HALVARA_SERVICE_DIR ${CMAKE_INSTALL_LIBEXECDIR}/halvara)
set(DROVICK_DATA_DIR ${CMAKE_INSTALL_DATADIR}/drovick)

# Installed programs find libhalvara.so relative to themselves, so an install
# under any prefix (or DESTDIR) runs without LD_LIBRARY_PATH.
file(RELATIVE_PATH HALVARA_BIN_TO_LIB
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(HALVARA_PROGRAM_RPATH "$ORIGIN/${HALVARA_BIN_TO_LIB}")

# The library launches halvserve from the libexec folder of its own install;
# the path between the two folders is fixed here, where both are known, so a
# multiarch libdir (lib/x86_64-linux-gnu) finds it as well as plain lib/.
file(RELATIVE_PATH HALVARA_LIB_TO_SERVICE
  ${CMAKE_INSTALL_FULL_LIBDIR} ${CMAKE_INSTALL_FULL_LIBEXECDIR}/halvara)
if(TARGET halvara_bridge)
  target_compile_definitions(halvara_bridge PRIVATE
    HALVARA_SERVICE_FROM_LIBRARY="${HALVARA_LIB_TO_SERVICE}")
endif()

# The presence library for applications: versioned, with its header and a
# pkg-config file whose prefix follows the file, so a moved install still works.
if(TARGET halvara)
  set_target_properties(halvara PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${HALVARA_SOVERSION}
    PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/library/halvara.h)
  install(TARGETS halvara
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  file(RELATIVE_PATH HALVARA_PKGCONFIG_TO_PREFIX
    ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" HALVARA_PKGCONFIG_TO_PREFIX "${HALVARA_PKGCONFIG_TO_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/halvara.pc.in
    ${PROJECT_BINARY_DIR}/packaging/halvara.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/halvara.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
# The library dlopen()s its dialogs plugin from its own folder.
if(TARGET halvara_qt)
  install(TARGETS halvara_qt LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(TARGET halvserve)
  install(TARGETS halvserve RUNTIME DESTINATION ${HALVARA_SERVICE_DIR})
endif()

# The programs; the presence client's target is halvara_cli, its file halvara.
# All but halvdir load libhalvara.so.
foreach(program IN ITEMS drovick drovick-peer halvara_cli halvdir)
  if(TARGET ${program})
    if(NOT program STREQUAL "halvdir")
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "${HALVARA_PROGRAM_RPATH}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Manual pages, compressed as the desktop's man reader expects them, each into
# the section its name ends with. -n leaves the time out, so a rebuild makes
# the same bytes.
find_program(HALVARA_GZIP gzip REQUIRED)
file(GLOB HALVARA_MAN_PAGES ${PROJECT_SOURCE_DIR}/docs/man/*.[1-8])
set(HALVARA_COMPRESSED_PAGES)
foreach(page IN LISTS HALVARA_MAN_PAGES)
  get_filename_component(program ${page} NAME_WLE)
  if(program STREQUAL "drovick" AND NOT TARGET drovick)
    continue()
  endif()
  get_filename_component(name ${page} NAME)
  set(compressed ${PROJECT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${HALVARA_GZIP} -9nc ${page} > ${compressed}
    DEPENDS ${page} VERBATIM)
  list(APPEND HALVARA_COMPRESSED_PAGES ${compressed})
  string(REGEX MATCH "[1-8]$" section ${page})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${HALVARA_COMPRESSED_PAGES})

# Who holds the rights, where a Debian system keeps that for each package.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/drovick)

# Services: the directory as a system service, the headless Drovick as a
# user service. Each names the installed programs' folder, which is known only
# when installing: `cmake --install --prefix` may choose another prefix.
function(halvara_install_unit unit destination)
  set(source ${PROJECT_SOURCE_DIR}/packaging/${unit})
  set(made ${PROJECT_BINARY_DIR}/packaging/${unit})
  install(CODE "
    set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${source}\" \"${made}\" @ONLY)")
  install(FILES ${made} DESTINATION ${destination})
endfunction()
if(TARGET halvdir)
  halvara_install_unit(halvdir.service lib/systemd/system)
endif()
if(TARGET drovick-peer)
  halvara_install_unit(drovick-peer.service lib/systemd/user)
endif()

# The window program's pictures, desktop entry, metainfo and icon sizes. Its
# help and scalable icon are installed by app/shell/resources/Resources.cmake,
# beside the rule that compiles the help's installed place into the program.
if(TARGET drovick)
  set(DROVICK_PICTURES ${PROJECT_SOURCE_DIR}/app/shell/resources)
  file(GLOB DROVICK_PICTURE_FILES ${DROVICK_PICTURES}/*.svg)
  if(DROVICK_PICTURE_FILES)
    install(FILES ${DROVICK_PICTURE_FILES} DESTINATION ${DROVICK_DATA_DIR}/pictures)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/drovick.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/org.drovick.Drovick.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  if(EXISTS ${DROVICK_PICTURES}/app.svg)
    include(${CMAKE_CURRENT_LIST_DIR}/AppIcons.cmake)
  endif()
endif()
