# SPDX-License-Identifier: GPL-2.0-or-later
# Compares two message templates, all but the line with the extraction time.
cmake_policy(VERSION 3.25)
foreach(which GENERATED CHECKED_IN)
  if(NOT EXISTS "${${which}}")
    message(FATAL_ERROR "missing ${${which}}")
  endif()
  file(READ "${${which}}" text_${which})
  string(REGEX REPLACE "\"POT-Creation-Date: [^\n]*\n" "" text_${which} "${text_${which}}")
endforeach()
if(NOT text_GENERATED STREQUAL text_CHECKED_IN)
  message(FATAL_ERROR "po/quorvane.pot is out of date with the source; refresh it with "
                      "`cmake --build <build-dir> --target qv_po_update`")
endif()
