# Every library comes from Debian's packages (scripts/install-deps).
find_package(Threads REQUIRED)
find_package(Boost 1.81 REQUIRED COMPONENTS json)
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(PkgConfig REQUIRED)

pkg_check_modules(X264 REQUIRED IMPORTED_TARGET x264)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale libswresample)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xext xdamage xfixes xrandr xtst)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gio-2.0 gio-unix-2.0 gobject-2.0)
pkg_check_modules(GTK REQUIRED IMPORTED_TARGET gtk+-3.0 gdk-pixbuf-2.0)
pkg_check_modules(APPINDICATOR REQUIRED IMPORTED_TARGET ayatana-appindicator3-0.1)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
pkg_check_modules(SECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client xkbcommon)
pkg_check_modules(WAYLAND_PROTOCOLS REQUIRED wayland-protocols)
pkg_get_variable(WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)
find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)

# Debian's libyuv ships no pkg-config file.
find_path(YUV_INCLUDE_DIR libyuv/scale_argb.h REQUIRED)
find_library(YUV_LIBRARY yuv REQUIRED)
add_library(Yuv::yuv UNKNOWN IMPORTED)
set_target_properties(Yuv::yuv PROPERTIES IMPORTED_LOCATION "${YUV_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${YUV_INCLUDE_DIR}")

if(QUELM_BUILD_TESTS OR QUELM_BUILD_BENCH)
  find_package(GTest REQUIRED)
  find_package(benchmark REQUIRED)
endif()

# Asio is used header-only with Boost.Beast.
add_compile_definitions(BOOST_ASIO_NO_DEPRECATED)
