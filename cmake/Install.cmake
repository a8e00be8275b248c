# Where `cmake --install` and the Debian package put things: the usual layout under
# CMAKE_INSTALL_PREFIX (/usr for the package).
include(GNUInstallDirs)

# Icons go into the hicolor theme, which every icon theme falls back to, so that menus and the
# tray find them by name. quelm_install_icons(<size> <context> <files>...), for example
# quelm_install_icons(scalable status quelmix-waiting-symbolic.svg).
function(quelm_install_icons size context)
  install(FILES ${ARGN} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/${context})
endfunction()
