# How the server links the C and C++ runtimes. Defines the function
# vestigor_link_server(<target>), applied to the server executable.
#
# Release builds with GCC link one fully static executable: no shared
# library is loaded, so the same file runs on any x86-64 Linux, whatever
# its C library, and start-up does no library loading or symbol lookup.
# static-pie where the toolchain offers it (plain -static otherwise): the
# server still loads at a random address, for some microseconds more at
# start-up than -static (it relocates itself). The server links no
# library beyond the runtimes: its Unicode facts are tables generated into
# the source (src/util/unicode_tables.inc), and a test checks that nothing
# of ICU is linked in.
#
# -DVESTIGOR_STATIC_RUNTIME=OFF links the shared libc and libstdc++
# instead. Apple has no static C library: its builds always link
# dynamically. Windows (mingw-w64) links plain -static. Other build types (Debug, the sanitizer and fuzz presets) and
# other compilers always link dynamically.
option(VESTIGOR_STATIC_RUNTIME
  "Release builds with GCC: one fully static server binary" ON)

set(vestigor_static_link OFF)
if(VESTIGOR_STATIC_RUNTIME AND CMAKE_BUILD_TYPE STREQUAL "Release"
   AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT APPLE)
  set(vestigor_static_link ON)
endif()

if(vestigor_static_link AND WIN32)
  # mingw's static-pie still imports libstdc++-6.dll; plain -static does not.
  set(vestigor_static_flag -static)
elseif(vestigor_static_link)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_LINK_OPTIONS -static-pie)
  check_cxx_source_compiles("int main() { return 0; }" VESTIGOR_HAVE_STATIC_PIE)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(VESTIGOR_HAVE_STATIC_PIE)
    set(vestigor_static_flag -static-pie)
  else()
    set(vestigor_static_flag -static)
  endif()
  # static-pie needs position-independent objects throughout.
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
if(vestigor_static_link)
  # Each function and object in a section of its own, and the linker drops
  # those nothing reaches (in the runtimes' archives too): 230 KB less.
  add_compile_options(-ffunction-sections -fdata-sections)
  message(STATUS "Server binary: fully static (${vestigor_static_flag})")
endif()

# Size of the static Linux server (1.49 MiB before these, 1.20 MiB after,
# with the same instruction counts for a full-scan search under callgrind):
#   - link-time optimisation of the server and its core library, at the
#     same -O3 (-O2 would save more and cost half again the instructions of
#     a scan). The core library's objects stay fat, so that the tests link
#     it as plain code;
#   - libstdc++'s verbose terminate handler, which names an uncaught
#     exception's type and so links in the C++ demangler (55 KB), is
#     replaced by abort: the server lets no exception escape, and would
#     still end with SIGABRT, only without that line;
#   - the server is stripped once linked (VESTIGOR_STRIP_SERVER), as every
#     package strips it anyway; the linked file with its symbols stays
#     beside it as vestigor-mcp.symbols, for profilers and for the check
#     that no ICU symbol is linked in (tests/links_no_icu.cmake).
option(VESTIGOR_STRIP_SERVER
  "Static Linux server: strip it as it ships (symbols kept in <server>.symbols)" ON)

function(vestigor_link_server target)
  if(vestigor_static_link AND NOT WIN32)
    target_compile_options(${target} PRIVATE -flto=auto)
    target_compile_options(vestigor_core PRIVATE -flto=auto -ffat-lto-objects)
    target_link_options(${target} PRIVATE -flto=auto
      -Wl,--defsym=_ZN9__gnu_cxx27__verbose_terminate_handlerEv=abort)
  endif()
  if(vestigor_static_link)
    target_link_options(${target} PRIVATE ${vestigor_static_flag}
      -Wl,--gc-sections)
    # The .comment section only names the compilers of every object linked
    # in; Debian's packaging tools drop it too.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
        $<TARGET_FILE:${target}>
      VERBATIM)
    if(VESTIGOR_STRIP_SERVER AND NOT WIN32)
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}>
          $<TARGET_FILE:${target}>.symbols
        COMMAND ${CMAKE_STRIP} $<TARGET_FILE:${target}>
        VERBATIM)
    endif()
  endif()
endfunction()
