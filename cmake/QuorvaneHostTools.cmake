# A ziptool that runs on the build machine, for the payload check: the check unpacks and reads the
# payload with the release tool's own code, so it needs that code built for the host. A cross build
# configures a host build of the portable code once (<build>/host-tools, QUORVANE_TOOLS_ONLY) and
# brings its ziptool up to date on every build, so a change of the reader's rules checks the payload
# again. QUORVANE_HOST_ZIPTOOL names a ready one instead (the build tests share the outer build's).
#
# Defines QUORVANE_HOST_ZIPTOOL_PROGRAM and the target quorvane_host_ziptool, which makes it
# (in a host build, ziptool itself).

set(QUORVANE_HOST_ZIPTOOL "" CACHE FILEPATH "A ziptool built for the build machine; empty: built in <build>/host-tools")

if(QUORVANE_HOST_ZIPTOOL)
  set(QUORVANE_HOST_ZIPTOOL_PROGRAM ${QUORVANE_HOST_ZIPTOOL})
  add_custom_target(quorvane_host_ziptool)
  return()
endif()
if(NOT CMAKE_CROSSCOMPILING)
  set(QUORVANE_HOST_ZIPTOOL_PROGRAM $<TARGET_FILE:ziptool>)
  add_custom_target(quorvane_host_ziptool)
  add_dependencies(quorvane_host_ziptool ziptool)
  return()
endif()

set(host_tools ${CMAKE_BINARY_DIR}/host-tools)
if(EXISTS ${host_tools}/CMakeCache.txt)
  load_cache(${host_tools} READ_WITH_PREFIX host_ QUORVANE_WARNINGS_AS_ERRORS)
endif()
# The host build compiles our code too, so it treats warnings as this build does.
if(NOT EXISTS ${host_tools}/CMakeCache.txt OR NOT "${host_QUORVANE_WARNINGS_AS_ERRORS}" STREQUAL "${QUORVANE_WARNINGS_AS_ERRORS}")
  message(STATUS "Configuring the host tools in ${host_tools}")
  # The cross toolchain must reach the host build neither through the cache nor the environment:
  # a first configuration puts the cross compilers into CC and CXX while it runs.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=CMAKE_TOOLCHAIN_FILE --unset=CC --unset=CXX --unset=RC
            ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} -B ${host_tools} -G ${CMAKE_GENERATOR}
            -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TOOLS_ONLY=ON -DQUORVANE_WARNINGS_AS_ERRORS=${QUORVANE_WARNINGS_AS_ERRORS}
    RESULT_VARIABLE host_result
    OUTPUT_VARIABLE host_output
    ERROR_VARIABLE host_output)
  if(NOT host_result EQUAL 0)
    file(REMOVE ${host_tools}/CMakeCache.txt)
    message(FATAL_ERROR "The host tools for the payload check could not be configured:\n${host_output}")
  endif()
endif()
set(QUORVANE_HOST_ZIPTOOL_PROGRAM ${host_tools}/tools/ziptool)
add_custom_target(quorvane_host_ziptool
  # Its own make, not a child of the outer one (which would warn that it gets no job slots).
  COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL ${CMAKE_COMMAND} --build ${host_tools} --target ziptool
  BYPRODUCTS ${QUORVANE_HOST_ZIPTOOL_PROGRAM}
  COMMENT "Bringing the host ziptool up to date for the payload check"
  VERBATIM)
