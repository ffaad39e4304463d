# Settings shared by every Windows binary of the project: Unicode, the
# Windows XP API level, static C and C++ runtimes and strict warnings.

set(TAGMIND_WIN_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

# Project code: warnings on. Third-party code (GoogleTest) does not use this.
function(tagmind_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wno-missing-field-initializers)
  endif()
endfunction()

# Every Windows binary: definitions and static runtimes. The updater's own code
# sees the Windows XP API only; tests (TEST) may use what Windows 7 has.
function(tagmind_windows_binary target)
  cmake_parse_arguments(B "TEST" "" "" ${ARGN})
  if(B_TEST)
    set(level 0x0601)
  else()
    set(level 0x0501)
  endif()
  target_compile_definitions(${target} PRIVATE ${TAGMIND_WIN_DEFINITIONS}
    _WIN32_WINNT=${level} WINVER=${level})
  if(MSVC)
    set_property(TARGET ${target} PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  else()
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# A program or DLL that must start on Windows XP: subsystem and OS version 5.01.
function(tagmind_xp_image target)
  if(MSVC)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_link_options(${target} PRIVATE /SUBSYSTEM:WINDOWS,5.01 /OSVERSION:5.01)
    endif()
  else()
    target_link_options(${target} PRIVATE
      -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,1
      -Wl,--major-os-version,5 -Wl,--minor-os-version,1
      -Wl,--dynamicbase -Wl,--nxcompat -s)
  endif()
endfunction()
