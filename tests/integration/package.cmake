# Builds the Debian package into BUILD/package, afresh.
file(REMOVE_RECURSE ${BUILD}/package)
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD}/CPackConfig.cmake
  WORKING_DIRECTORY ${BUILD} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${result}")
endif()
file(GLOB debs ${BUILD}/package/*.deb)
message(STATUS "built ${debs}")
