# The Debian package, made by CPack from the install rules: `scripts/package`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelmix-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quelmix maintainers <maintainers@quelmix.io>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lets the Quelmix companion app see and drive this desktop")
# Lines as they appear in the control file, each under 80 characters.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "The host streams the screen of an X11 desktop as H.264 video, with the\n"
  "machine's sound as AAC, to the Quelmix companion app on a phone over\n"
  "Tailscale, and takes pointer, keyboard, text, scroll and clipboard input\n"
  "from it. A companion is admitted only with the 32-character connection\n"
  "secret, handed out from the tray menu as a short-lived copy or a QR code.\n"
  "\n"
  "quelmix-companion is a companion in a terminal, for trying a host and for\n"
  "tests.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Libraries come from the binaries (dpkg-shlibdeps); beside them what the host opens at run
# time: a font for the Japanese menu texts, and gdk-pixbuf's loader for the phone's HEIF images.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "fonts-ipafont-gothic | fonts-noto-cjk | fonts-vlgothic, heif-gdk-pixbuf")
include(CPack)
