# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE). The .deb
# is made of install components: Runtime, and Debian (copyright file,
# changelog, lintian overrides) in place of License, since Debian wants the
# licence in its copyright file. The tarball takes what a plain
# `cmake --install` installs: Runtime and License.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL Runtime Debian)
endif()
