# Settings shared by every Windows binary of the project: Unicode, the
# Windows XP API level, static C and C++ runtimes and strict warnings.

set(TAGMIND_WIN_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

# Reproducible images: two clean builds of the same sources give the same
# bytes. GNU ld stamps each PE image with the link time unless told not to,
# and compiled-in file names must not carry the build machine's folders.
# (GNU ar is deterministic by default on the build machines we use.)
if(NOT MSVC)
  include(CheckLinkerFlag)
  include(CheckCXXCompilerFlag)
  check_linker_flag(CXX "-Wl,--no-insert-timestamp" TAGMIND_LD_NO_TIMESTAMP)
  check_linker_flag(CXX "-Wl,--enable-reloc-section" TAGMIND_LD_RELOC_SECTION)
  check_cxx_compiler_flag("-ffile-prefix-map=a=b" TAGMIND_CXX_FILE_PREFIX_MAP)
endif()

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
    target_compile_options(${target} PRIVATE /Brepro)
    target_link_options(${target} PRIVATE /Brepro)
  else()
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    if(TAGMIND_LD_NO_TIMESTAMP)
      target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
    endif()
    if(TAGMIND_CXX_FILE_PREFIX_MAP)
      target_compile_options(${target} PRIVATE
        -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
    endif()
  endif()
endfunction()

# A program or DLL that must start on Windows XP: subsystem and OS version 5.01,
# and shipped the careful way: loaded at a random base (which needs the
# relocations kept: older GNU ld dropped them from programs even with
# --dynamicbase), data never executable, no symbols.
function(tagmind_xp_image target)
  if(MSVC)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_link_options(${target} PRIVATE /SUBSYSTEM:WINDOWS,5.01 /OSVERSION:5.01)
    endif()
    target_link_options(${target} PRIVATE /DYNAMICBASE /NXCOMPAT)
  else()
    target_link_options(${target} PRIVATE
      -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,1
      -Wl,--major-os-version,5 -Wl,--minor-os-version,1
      -Wl,--dynamicbase -Wl,--nxcompat -s)
    if(TAGMIND_LD_RELOC_SECTION)
      target_link_options(${target} PRIVATE -Wl,--enable-reloc-section)
    endif()
  endif()
endfunction()
