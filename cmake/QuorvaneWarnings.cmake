# Compiler warnings for this project's own targets only: GoogleTest and zlib are not ours to fix,
# so their warnings neither show nor fail the build. QUORVANE_WARNINGS_AS_ERRORS (tools/test-all.sh
# turns it on) makes every warning in our code an error, so none can slip into a merge.

option(QUORVANE_WARNINGS_AS_ERRORS "Warnings in this project's own code are errors" OFF)

# The warning options for C and C++ sources; resource scripts get none (windres knows no -W).
set(QUORVANE_WARNING_OPTIONS -Wall -Wextra)
if(QUORVANE_WARNINGS_AS_ERRORS)
  list(APPEND QUORVANE_WARNING_OPTIONS -Werror)
endif()

# quorvane_apply_warnings(<dir>): the warning options on every compiled target defined in <dir>
# and its subdirectories inside this source tree. Called once all targets exist.
function(quorvane_apply_warnings dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:C,CXX>:${QUORVANE_WARNING_OPTIONS}>")
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    string(FIND "${subdir}/" "${PROJECT_SOURCE_DIR}/" at)
    if(at EQUAL 0)  # GoogleTest's folder lies outside the tree
      quorvane_apply_warnings(${subdir})
    endif()
  endforeach()
endfunction()
