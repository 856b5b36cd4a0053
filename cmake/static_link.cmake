# How the server links ICU and the C and C++ runtimes. Defines the interface
# target vestigor_icu (what vestigor_core links for ICU) and the function
# vestigor_link_server(<target>), applied to the server executable.
#
# Release builds with GCC link one fully static executable: no shared
# library is loaded, so the same file runs on any x86-64 Linux, whatever
# its C library, and start-up does no library loading or symbol lookup.
# static-pie where the toolchain offers it (plain -static otherwise): the
# server still loads at a random address, for 66,000 more instructions at
# start-up than -static (callgrind, one initialize: 129,000 against
# 63,000), some microseconds.
# ICU comes from its static libicuuc, whose compiled-in property tables
# answer everything the server asks (UTF-8 lower-casing in the root locale,
# the White_Space property). ICU's 30 MB data library is replaced by an
# empty data package (src/util/icu_data_stub.cpp); the whole test suite
# runs against the same stub-linked ICU, so a call that needed data would
# fail there, and tests/util/icu_data_stub_test.cpp fails as soon as
# anything asks for data at all.
#
# -DVESTIGOR_STATIC_RUNTIME=OFF links the shared ICU (with its data), libc
# and libstdc++ instead. Other build types (Debug, the sanitizer and fuzz
# presets) and other compilers always link dynamically.
option(VESTIGOR_STATIC_RUNTIME
  "Release builds with GCC: one fully static server binary, ICU data stubbed"
  ON)

find_package(ICU REQUIRED COMPONENTS uc)

set(vestigor_static_link OFF)
if(VESTIGOR_STATIC_RUNTIME AND CMAKE_BUILD_TYPE STREQUAL "Release"
   AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  find_library(VESTIGOR_ICUUC_ARCHIVE NAMES libicuuc.a)
  if(VESTIGOR_ICUUC_ARCHIVE)
    set(vestigor_static_link ON)
  else()
    message(WARNING "libicuuc.a not found: the server links ICU dynamically. "
      "Install ICU's static libraries, or configure with "
      "-DVESTIGOR_STATIC_RUNTIME=OFF to silence this.")
  endif()
endif()

if(vestigor_static_link)
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
  message(STATUS "Server binary: fully static (${vestigor_static_flag}), "
    "ICU ${ICU_VERSION} from ${VESTIGOR_ICUUC_ARCHIVE}, data stubbed")
endif()

add_library(vestigor_icu INTERFACE)
if(vestigor_static_link)
  find_package(Threads REQUIRED)
  add_library(vestigor_icu_data_stub STATIC src/util/icu_data_stub.cpp)
  target_include_directories(vestigor_icu_data_stub PRIVATE
    ${PROJECT_SOURCE_DIR}/src ${ICU_INCLUDE_DIRS})
  target_link_libraries(vestigor_icu_data_stub PRIVATE vestigor_warnings)
  target_include_directories(vestigor_icu INTERFACE ${ICU_INCLUDE_DIRS})
  # The stub follows libicuuc.a so that the archive's reference to the data
  # package's symbol is resolved by it.
  target_link_libraries(vestigor_icu INTERFACE
    ${VESTIGOR_ICUUC_ARCHIVE} vestigor_icu_data_stub
    ${CMAKE_DL_LIBS} Threads::Threads)
  # Tests that only make sense with the stub (or without it) look here.
  target_compile_definitions(vestigor_icu INTERFACE VESTIGOR_ICU_DATA_STUB=1)
else()
  target_link_libraries(vestigor_icu INTERFACE ICU::uc)
endif()

function(vestigor_link_server target)
  if(vestigor_static_link)
    target_link_options(${target} PRIVATE ${vestigor_static_flag})
    # The .comment section only names the compilers of every object linked
    # in; Debian's packaging tools drop it too.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
        $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()
