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

# tagmind_add_wine_test(NAME SOURCES src... [LIBS lib...] [RESOURCES rc...]
#                       [ENVIRONMENT VAR=value...] [TIMEOUT seconds] [MAIN])
# One GoogleTest executable, run as one CTest test in a fresh prefix. Without
# MAIN it links gtest_main; with MAIN the sources bring their own main().
function(tagmind_add_wine_test name)
  cmake_parse_arguments(T "MAIN" "TIMEOUT" "SOURCES;LIBS;RESOURCES;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_RESOURCES})
  target_link_libraries(${name} PRIVATE tagmind_test_support ${T_LIBS})
  if(NOT T_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  tagmind_windows_binary(${name} TEST)
  tagmind_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
endfunction()
