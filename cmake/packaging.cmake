# Installation and packages.
#
# `cmake --install <build> --prefix <p>` puts the server in <p>/bin, its
# manual page in <p>/share/man/man1 and README.md and LICENSE in
# <p>/share/doc/vestigor-mcp. `cpack` in a build tree makes two packages
# of the same files:
#   vestigor-mcp_<version>_<arch>.deb          Debian package, for /usr
#   vestigor-mcp-<version>-linux-<cpu>.tar.gz  one folder holding bin/ and
#                                              share/, to unpack into a prefix
# The Debian package carries the licence as Debian wants it, in the
# machine-readable copyright file instead of LICENSE, and adds the
# changelog. Both are generated here, the copyright file from LICENSE.
include(GNUInstallDirs)

set(VESTIGOR_MAINTAINER
  "vestigor-mcp authors <vestigor-mcp@users.noreply.github.com>")

# Components: Runtime goes everywhere; License only where no Debian
# copyright file carries the licence; Debian only into the .deb (and
# `cmake --install --component Debian`).
install(TARGETS vestigor-mcp RUNTIME
  DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(FILES README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Runtime)
install(FILES LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT License)

# Manual pages are installed compressed, without a name or time stamp in
# the gzip header (so the bytes depend only on the page), at the highest
# level, as Debian policy asks.
find_program(VESTIGOR_GZIP gzip REQUIRED)
set(vestigor_doc_dir ${CMAKE_CURRENT_BINARY_DIR}/doc)
add_custom_command(
  OUTPUT ${vestigor_doc_dir}/vestigor-mcp.1.gz
  COMMAND ${CMAKE_COMMAND} -E copy
    ${PROJECT_SOURCE_DIR}/doc/vestigor-mcp.1 ${vestigor_doc_dir}/vestigor-mcp.1
  COMMAND ${VESTIGOR_GZIP} -9nf ${vestigor_doc_dir}/vestigor-mcp.1
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/vestigor-mcp.1
  COMMENT "Compressing the manual page"
  VERBATIM)
install(FILES ${vestigor_doc_dir}/vestigor-mcp.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)

# Debian's copyright file: LICENSE's permission text, indented, with "."
# for its empty lines.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE vestigor_license)
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" ""
  vestigor_license_text "${vestigor_license}")
string(STRIP "${vestigor_license_text}" vestigor_license_text)
string(REPLACE "\n\n" "\n.\n" vestigor_license_text "${vestigor_license_text}")
string(REPLACE "\n" "\n " vestigor_license_text "${vestigor_license_text}")
set(VESTIGOR_LICENSE_TEXT " ${vestigor_license_text}")
# What else a static server holds, and under which terms.
set(VESTIGOR_STATIC_PARTS "")
if(vestigor_static_link)
  string(CONCAT VESTIGOR_STATIC_PARTS
    "Comment: /usr/bin/vestigor-mcp is statically linked. Besides this\n"
    " project's code it holds parts of the GNU C Library (LGPL-2.1+,\n"
    " /usr/share/common-licenses/LGPL-2.1) and of GCC's\n"
    " runtime libraries (GPL-3+ with the GCC Runtime Library Exception 3.1,\n"
    " /usr/share/common-licenses/GPL-3), as the build system's packages\n"
    " provide them.\n")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in
  ${vestigor_doc_dir}/copyright @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE)

# The changelog: one entry for this version, dated at configure time (or
# at SOURCE_DATE_EPOCH, which string(TIMESTAMP) honours).
string(TIMESTAMP VESTIGOR_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
  ${vestigor_doc_dir}/changelog @ONLY)
add_custom_command(
  OUTPUT ${vestigor_doc_dir}/changelog.gz
  COMMAND ${VESTIGOR_GZIP} -9nkf ${vestigor_doc_dir}/changelog
  DEPENDS ${vestigor_doc_dir}/changelog
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(vestigor_docs ALL DEPENDS
  ${vestigor_doc_dir}/vestigor-mcp.1.gz ${vestigor_doc_dir}/changelog.gz)
install(FILES ${vestigor_doc_dir}/copyright ${vestigor_doc_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Debian EXCLUDE_FROM_ALL)
if(vestigor_static_flag STREQUAL "-static-pie")
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME vestigor-mcp COMPONENT Debian EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME vestigor-mcp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VESTIGOR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "MCP server giving an AI agent a memory kept as a folder of Markdown notes")
set(CPACK_PACKAGE_DESCRIPTION
  "vestigor-mcp speaks the Model Context Protocol over stdio and offers tools\nover a vault of Markdown notes named by VESTIGOR_VAULT: the current-state\nand open-threads snapshots, a case-insensitive search, and an append-only\ndaily log.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" vestigor_platform)
set(CPACK_PACKAGE_FILE_NAME
  "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${vestigor_platform}")

# Which components each package holds.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_components.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The target's Debian architecture, not the build machine's (cpack would
# ask dpkg, which names the machine's: a cross-built arm64 .deb labelled
# amd64 is what lintian calls binary-from-other-architecture).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(vestigor_static_link)
  # A fully static server needs no other package at run time.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
else()
  find_program(VESTIGOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(VESTIGOR_DPKG_SHLIBDEPS)
    # Derives the dependencies (libc6, libstdc++6, ...) from the
    # libraries the binary loads.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  endif()
endif()
include(CPack)
