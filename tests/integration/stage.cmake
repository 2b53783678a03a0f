# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build tree into STAGE with the prefix /usr, afresh.
file(REMOVE_RECURSE ${STAGE})
set(ENV{DESTDIR} ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install into ${STAGE} failed: ${result}")
endif()
