# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian package into OUT, afresh, with scripts/package: from a
# copy of SOURCE by dpkg-buildpackage, then checked by lintian --pedantic
# and hardening-check.
execute_process(COMMAND ${SOURCE}/scripts/package ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "scripts/package failed: ${result}")
endif()
file(GLOB debs ${OUT}/quorvane_*.deb)
message(STATUS "built ${debs}")
