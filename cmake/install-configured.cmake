# SPDX-License-Identifier: GPL-2.0-or-later
# Files that name installed paths (units, activation files, the autostart
# entry) are written at install time, so they name the prefix that
# `cmake --install --prefix` or the package build installs to, not the
# configured one. Included by the top CMakeLists.txt, for every folder.

# An install-time expression for a GNUInstallDirs directory (absolute ones stay).
function(qv_install_time_dir out relative)
  if(IS_ABSOLUTE "${relative}")
    set(${out} "${relative}" PARENT_SCOPE)
  else()
    set(${out} "\${CMAKE_INSTALL_PREFIX}/${relative}" PARENT_SCOPE)
  endif()
endfunction()
qv_install_time_dir(qv_bindir "${CMAKE_INSTALL_BINDIR}")
qv_install_time_dir(qv_libexecdir "${CMAKE_INSTALL_LIBEXECDIR}")

# The profile store's path is written once, in libquorvane/quorvane.h; the
# units that name it read it from there. systemd creates it as the daemon's
# configuration directory, which lies directly in /etc.
file(STRINGS ${PROJECT_SOURCE_DIR}/libquorvane/quorvane.h qv_store_define REGEX "^#define QV_STORE_DIR ")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/libquorvane/quorvane.h)
string(REGEX REPLACE "^#define QV_STORE_DIR \"([^\"]*)\"$" "\\1" qv_store_dir "${qv_store_define}")
if(NOT qv_store_dir MATCHES "^/etc/[^/]+$")
  message(FATAL_ERROR "libquorvane/quorvane.h: QV_STORE_DIR must name a folder directly in /etc, not \"${qv_store_dir}\"")
endif()
string(REGEX REPLACE "^/etc/" "" qv_store_name "${qv_store_dir}")

# Writes template (a .in file) with @QV_BINDIR@, @QV_LIBEXECDIR@, @QV_STORE_DIR@
# and @QV_STORE_NAME@ (the store below /etc) filled in and installs it to
# destination, an install-time expression.
function(qv_install_configured template destination)
  get_filename_component(name "${template}" NAME_WLE)
  set(configured "${CMAKE_CURRENT_BINARY_DIR}/configured/${name}")
  install(CODE "
    set(QV_BINDIR \"${qv_bindir}\")
    set(QV_LIBEXECDIR \"${qv_libexecdir}\")
    set(QV_STORE_DIR \"${qv_store_dir}\")
    set(QV_STORE_NAME \"${qv_store_name}\")
    configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/${template}\" \"${configured}\" @ONLY)
    file(INSTALL DESTINATION \"${destination}\" TYPE FILE FILES \"${configured}\")
  ")
endfunction()
