# The help pages: installed beside the program's data, and found in the source
# tree by a program run from its build folder.
include(GNUInstallDirs)
target_compile_definitions(drovick_shell PRIVATE
  DROVICK_SOURCE_HELP="${PROJECT_SOURCE_DIR}/help"
  DROVICK_INSTALL_PREFIX="${CMAKE_INSTALL_PREFIX}")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/help/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/drovick/help)
# The application's picture under the name the desktop entry gives (Icon=drovick).
install(FILES ${CMAKE_CURRENT_LIST_DIR}/app.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME drovick.svg)
