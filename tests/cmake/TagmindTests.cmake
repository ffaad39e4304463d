# Helpers for declaring the Wine tests.

# Windows form of a build path: Wine maps the Unix root to drive Z:.
function(tagmind_windows_path out unix_path)
  string(REPLACE "/" "\\" win "Z:${unix_path}")
  set(${out} "${win}" PARENT_SCOPE)
endfunction()

if(NOT DEFINED TAGMIND_I686_BIN_DIR)
  set(TAGMIND_I686_BIN_DIR "${CMAKE_SOURCE_DIR}/build/i686/bin")
endif()
set(TAGMIND_I686_BIN_DIR "${TAGMIND_I686_BIN_DIR}" CACHE PATH "bin folder of the i686 build (fixtures, shipped exe)")

if(NOT DEFINED TAGMIND_HOST_BIN_DIR)
  set(TAGMIND_HOST_BIN_DIR "${CMAKE_SOURCE_DIR}/build/host/bin")
endif()
set(TAGMIND_HOST_BIN_DIR "${TAGMIND_HOST_BIN_DIR}" CACHE PATH "bin folder of the host build (tools, packed samples)")

# Under Wine a test program that crashes can still end with exit code 0, so a
# GoogleTest run counts only when it printed its summary of passed tests and
# no failure, skip or unhandled exception.
set(TAGMIND_GTEST_PASS "\\[  PASSED  \\] [1-9][0-9]* tests?\\.")
set(TAGMIND_GTEST_FAIL "\\[  FAILED  \\]|\\[  SKIPPED \\]|wine: Unhandled|Unhandled exception")
function(tagmind_gtest_verdict test_name)
  set_tests_properties(${test_name} PROPERTIES
    PASS_REGULAR_EXPRESSION "${TAGMIND_GTEST_PASS}"
    FAIL_REGULAR_EXPRESSION "${TAGMIND_GTEST_FAIL}")
endfunction()

# tagmind_add_wine_test(NAME SOURCES src... [LIBS lib...] [RESOURCES rc...]
#                       [ENVIRONMENT VAR=value...] [TIMEOUT seconds] [MAIN])
# One GoogleTest executable, run as one CTest test in a fresh prefix. Without
# MAIN it links gtest_main; with MAIN the sources bring their own main().
function(tagmind_add_wine_test name)
  cmake_parse_arguments(T "MAIN;NO_TEST" "TIMEOUT" "SOURCES;LIBS;RESOURCES;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_RESOURCES})
  target_link_libraries(${name} PRIVATE tagmind_test_support ${T_LIBS})
  if(NOT T_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  tagmind_windows_binary(${name} TEST)
  tagmind_warnings(${name})
  if(T_NO_TEST)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  tagmind_gtest_verdict(${name})
  if(T_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
endfunction()

# tagmind_add_wine_cases(target CASES Suite.Case... [SUFFIX s] [TIMEOUT seconds]
#                        [ENVIRONMENT_MODIFICATION op...])
# One CTest test per GoogleTest case of an executable made with NO_TEST, so
# that each case gets a fresh prefix of its own (and long cases run side by
# side). A filter that matches nothing fails instead of passing empty.
function(tagmind_add_wine_cases target)
  cmake_parse_arguments(C "" "SUFFIX;TIMEOUT" "CASES;ENVIRONMENT_MODIFICATION" ${ARGN})
  if(NOT C_TIMEOUT)
    set(C_TIMEOUT 300)
  endif()
  foreach(case ${C_CASES})
    set(test_name "${target}${C_SUFFIX}:${case}")
    add_test(NAME ${test_name} COMMAND ${target} --gtest_filter=${case})
    set_tests_properties(${test_name} PROPERTIES TIMEOUT ${C_TIMEOUT})
    tagmind_gtest_verdict(${test_name})
    if(C_ENVIRONMENT_MODIFICATION)
      set_tests_properties(${test_name} PROPERTIES
        ENVIRONMENT_MODIFICATION "${C_ENVIRONMENT_MODIFICATION}")
    endif()
  endforeach()
endfunction()
