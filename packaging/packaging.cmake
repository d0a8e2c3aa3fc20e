# What `cmake --install` puts in place, and the Debian package `cpack -G DEB` makes of it.
# Only the viewer itself is installed: no tests, benchmarks or static core library.
include(GNUInstallDirs)

install(TARGETS orvelle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# One ID for the desktop entry, the icon, the software centres' metainfo and the window's
# name (WM_CLASS, Wayland app_id), so the desktop can tell they belong together.
set(app_id info.orvelle.orvelle)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${app_id}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${app_id}.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${app_id}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
configure_file(${CMAKE_CURRENT_LIST_DIR}/orvelle.1.in ${CMAKE_BINARY_DIR}/packaging/orvelle.1 @ONLY)
# Compressed as Debian wants them: at the highest level, with no name or time stamp inside.
set(packaging_dir ${CMAKE_BINARY_DIR}/packaging)
add_custom_command(OUTPUT ${packaging_dir}/orvelle.1.gz ${packaging_dir}/changelog.gz
  COMMAND gzip -9nc ${packaging_dir}/orvelle.1 > ${packaging_dir}/orvelle.1.gz
  COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${packaging_dir}/changelog.gz
  DEPENDS ${packaging_dir}/orvelle.1 ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(orvelle_docs ALL DEPENDS ${packaging_dir}/orvelle.1.gz ${packaging_dir}/changelog.gz)
install(FILES ${packaging_dir}/orvelle.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${packaging_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvelle)
set(CPACK_PACKAGE_VENDOR "Orvelle")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "camera viewer that marks what changed")
set(CPACK_PACKAGE_DESCRIPTION
  "Orvelle shows the camera's live picture in a window and marks, in green,
what has changed since a snapshot taken with the s key. A small red keyboard
menu sits in the corner; m hides it and q or Esc quits. See orvelle(1).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvelle developers <dev@orvelle.info>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # orvelle_VERSION_ARCH.deb
# Depends is worked out from the libraries the binary links (dpkg-shlibdeps, dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Qt's Wayland plugin is suggested, not recommended: GNOME, the default desktop, runs Qt 5
# windows through XWayland without it, with the desktop's own title bar; with it they draw
# a title bar of their own. KDE Plasma installs it anyway, and a session without XWayland
# is told to install it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS qtwayland5)
# Cameras behind an image processor need their pipeline's IPA module.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcamera-ipa)
# cpack asks dpkg for the architecture, which is the host's when cross-building.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
include(CPack)
