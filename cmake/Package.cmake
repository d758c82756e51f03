# The Debian package, made by CPack from the install rules themselves: what
# `cmake --install` puts in place is exactly what the package holds, with no
# second list of files to keep in step, and dpkg-shlibdeps reads the built
# binaries for the runtime dependencies. scripts/package builds it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drovick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Drovick")
set(CPACK_PACKAGE_CONTACT "Drovick developers <drovick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "share folders with friends without a central server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "share folders with friends without a central server
 Drovick lets people who know each other browse, search and download each
 other's shared folders and exchange short messages. Friends find each other
 through the Halvara presence network.
 .
 The package holds the window program drovick, the headless drovick-peer
 (also as a systemd user service), the presence client halvara, the presence
 library libhalvara with its service halvserve, and the directory web service
 halvdir (as a systemd system service, not enabled by default).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libhalvara.so.1 is the package's own: dpkg-shlibdeps finds it here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/bin)
# A shlibs entry, so other packages built against libhalvara depend on this one;
# it also has CPack add the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The SVG image plugin draws the window program's pictures; it is loaded at run
# time, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# Files' type pictures come from the desktop's icon theme; where the desktop
# sets none, the window program falls back to this one.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "adwaita-icon-theme")
set(CPACK_STRIP_FILES ON)
include(CPack)
