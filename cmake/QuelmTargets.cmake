# Source files are picked up by folder so that a new type needs no CMake edit.
function(quelm_sources out)
  set(files)
  foreach(dir IN LISTS ARGN)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
         "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.c")
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# Headers of the platform, grouped so that a layer can refuse a whole family at once.
set(QUELM_HEADERS_X11
  X11/Xlib.h X11/Xutil.h X11/Xatom.h X11/keysym.h X11/XKBlib.h X11/extensions/XShm.h
  X11/extensions/Xdamage.h X11/extensions/Xfixes.h X11/extensions/Xrandr.h X11/extensions/XTest.h
  X11/extensions/XKB.h X11/extensions/XInput2.h)
set(QUELM_HEADERS_DESKTOP
  gtk/gtk.h gdk/gdk.h gdk/gdkx.h glib.h glib-unix.h glib-object.h gio/gio.h
  gdk-pixbuf/gdk-pixbuf.h libayatana-appindicator/app-indicator.h qrencode.h
  pulse/pulseaudio.h pulse/simple.h pulse/context.h pulse/stream.h pipewire/pipewire.h
  gio/gunixfdlist.h
  libsecret/secret.h systemd/sd-journal.h systemd/sd-bus.h systemd/sd-daemon.h
  wayland-client.h wayland-client-core.h xkbcommon/xkbcommon.h)
set(QUELM_HEADERS_MEDIA
  x264.h libavcodec/avcodec.h libavutil/avutil.h libavutil/mem.h libavutil/channel_layout.h
  libavutil/opt.h libavutil/frame.h libswscale/swscale.h libswresample/swresample.h libyuv.h
  libyuv/scale_argb.h libyuv/convert.h libyuv/scale.h)
set(QUELM_HEADERS_OS sys/random.h)

# Makes including any of the given headers from `target`'s own sources a build error: a
# directory of stand-ins that #error is searched before the system's. This is what keeps the
# layers apart: the logic cannot reach the platform by accident.
function(quelm_forbid_includes target reason)
  set(dir "${CMAKE_BINARY_DIR}/forbidden-includes/${target}")
  foreach(header IN LISTS ARGN)
    file(WRITE "${dir}/${header}"
         "#error \"${header} is not available to ${target}: ${reason}\"\n")
  endforeach()
  target_include_directories(${target} BEFORE PRIVATE "${dir}")
endfunction()

# QuelmVersion.hpp, generated so that the version is written in one place (project()). Only the
# few targets that print it link this, so a new version rebuilds only them.
configure_file(${PROJECT_SOURCE_DIR}/cmake/QuelmVersion.hpp.in
  ${PROJECT_BINARY_DIR}/generated/QuelmVersion.hpp @ONLY)
add_library(QuelmVersion INTERFACE)
target_include_directories(QuelmVersion INTERFACE ${PROJECT_BINARY_DIR}/generated)
# Client code for Wayland protocols, generated from their XML at build time: a header and the
# interface tables for each file, added to `target`'s sources.
function(quelm_wayland_protocols target)
  set(dir "${CMAKE_BINARY_DIR}/wayland-protocols")
  file(MAKE_DIRECTORY "${dir}")
  foreach(xml IN LISTS ARGN)
    get_filename_component(name ${xml} NAME_WE)
    add_custom_command(OUTPUT "${dir}/${name}-client.h"
      COMMAND ${WAYLAND_SCANNER} client-header "${xml}" "${dir}/${name}-client.h"
      DEPENDS "${xml}" VERBATIM)
    add_custom_command(OUTPUT "${dir}/${name}.c"
      COMMAND ${WAYLAND_SCANNER} private-code "${xml}" "${dir}/${name}.c"
      DEPENDS "${xml}" VERBATIM)
    target_sources(${target} PRIVATE "${dir}/${name}-client.h" "${dir}/${name}.c")
  endforeach()
  target_include_directories(${target} PRIVATE "${dir}")
endfunction()
