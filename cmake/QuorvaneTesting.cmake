# Test registration shared by every test area.
#
# Windows builds run their tests under Wine: the emulator script owns the build tree's Wine prefix
# (created once) and the Xvfb display that the "wine_session" fixture starts before the first
# Windows test and stops after the last one.

if(WIN32)
  set(QUORVANE_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVANE_WINE_RUN})
endif()

# quorvane_add_test(NAME <name> COMMAND <target-or-program> [args...] [TIMEOUT <s>] [ENVIRONMENT <k=v>...] [USES_WINE])
# A target command runs under Wine in a Windows build; a script command gets the variables
# QUORVANE_BUILD_DIR and, in a Windows build, QUORVANE_WINE_RUN (the launcher to prefix .exe runs with).
function(quorvane_add_test)
  cmake_parse_arguments(T "USES_WINE" "NAME;TIMEOUT" "COMMAND;ENVIRONMENT" ${ARGN})
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  set(env QUORVANE_BUILD_DIR=${CMAKE_BINARY_DIR} QUORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR} ${T_ENVIRONMENT})
  list(GET T_COMMAND 0 program)
  # Built programs run under Wine; host scripts join the Wine session only when they ask to.
  if(WIN32 AND (TARGET ${program} OR T_USES_WINE))
    list(JOIN QUORVANE_WINE_RUN " " wine_run)
    list(APPEND env "QUORVANE_WINE_RUN=${wine_run}")
    # One Wine test at a time: they share the prefix's install root, its desktop (tray windows)
    # and its process list, so two of them side by side would see each other's work.
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine_session RESOURCE_LOCK wine_prefix)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
  if(T_TIMEOUT)
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()

# quorvane_add_gtest(<name> SOURCES <files...> LIBRARIES <libs...>): one GoogleTest executable, one CTest test.
function(quorvane_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBRARIES;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBRARIES} GTest::gtest_main)
  set(extra)
  if(T_TIMEOUT)
    list(APPEND extra TIMEOUT ${T_TIMEOUT})
  endif()
  if(T_ENVIRONMENT)
    list(APPEND extra ENVIRONMENT ${T_ENVIRONMENT})
  endif()
  quorvane_add_test(NAME ${name} COMMAND ${name} ${extra})
endfunction()

if(WIN32)
  add_test(NAME wine_session_start COMMAND ${CMAKE_CURRENT_LIST_DIR}/wine-session.sh start ${CMAKE_BINARY_DIR})
  add_test(NAME wine_session_stop COMMAND ${CMAKE_CURRENT_LIST_DIR}/wine-session.sh stop ${CMAKE_BINARY_DIR})
  # A new prefix takes about a minute to create (a few where Wine's 32-bit loader runs under
  # qemu's emulation, see tools/install-deps.sh); the limit only guards against a hang.
  set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine_session TIMEOUT 600)
  set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine_session)
endif()
