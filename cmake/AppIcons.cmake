# The application's picture in the hicolor icon theme under the name the
# desktop entry gives (Icon=drovick) as PNGs at the usual sizes, rendered at
# build time for desktops and menus that want fixed sizes; the SVG itself is
# the scalable icon (app/shell/resources/Resources.cmake installs it). Qt's
# SVG image plugin draws them, so nothing is needed beyond what the window
# program already uses.
set(DROVICK_APP_PICTURE ${PROJECT_SOURCE_DIR}/app/shell/resources/app.svg)
set(DROVICK_ICON_THEME ${CMAKE_INSTALL_DATADIR}/icons/hicolor)

find_package(Qt6 COMPONENTS Gui QUIET)
if(NOT Qt6Gui_FOUND)
  message(STATUS "Qt6 Gui not found: the icon is installed as scalable only")
  return()
endif()
add_executable(drovick_render_icon ${PROJECT_SOURCE_DIR}/packaging/render-icon/RenderIcon.cpp)
target_link_libraries(drovick_render_icon PRIVATE Qt6::Gui halvara_warnings)

set(DROVICK_ICON_PNGS)
foreach(size IN ITEMS 16 22 24 32 48 64 128 256)
  set(png ${PROJECT_BINARY_DIR}/icons/${size}/drovick.png)
  # Qt's plugins keep a little memory until exit: a leak report must not fail
  # the build of a sanitized tree.
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
      $<TARGET_FILE:drovick_render_icon> ${DROVICK_APP_PICTURE} ${size} ${png}
    DEPENDS drovick_render_icon ${DROVICK_APP_PICTURE}
    COMMENT "Rendering the ${size}x${size} application icon"
    VERBATIM)
  list(APPEND DROVICK_ICON_PNGS ${png})
  install(FILES ${png} DESTINATION ${DROVICK_ICON_THEME}/${size}x${size}/apps)
endforeach()
add_custom_target(drovick_icons ALL DEPENDS ${DROVICK_ICON_PNGS})
