# SPDX-License-Identifier: GPL-2.0-or-later
# The notifier's message catalogues: each po/<lang>.po compiled to
# <localedir>/<lang>/LC_MESSAGES/quorvane.mo. quorvane_notify looks in
# /usr/share/locale, so only a /usr installation is found by it.
find_program(QV_MSGFMT msgfmt REQUIRED)
file(GLOB qv_po_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/po/*.po)
set(qv_mo_files)
foreach(po ${qv_po_files})
  get_filename_component(lang ${po} NAME_WE)
  set(mo ${CMAKE_CURRENT_BINARY_DIR}/locale/${lang}/LC_MESSAGES/quorvane.mo)
  add_custom_command(OUTPUT ${mo}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/locale/${lang}/LC_MESSAGES
    COMMAND ${QV_MSGFMT} --check -o ${mo} ${po}
    DEPENDS ${po}
    COMMENT "Compiling the ${lang} catalogue"
    VERBATIM)
  list(APPEND qv_mo_files ${mo})
  install(FILES ${mo} DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${lang}/LC_MESSAGES)
endforeach()
add_custom_target(qv_catalogues ALL DEPENDS ${qv_mo_files})
