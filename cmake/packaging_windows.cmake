# The Windows release: `cpack` in the windows build tree makes
#   vestigor-mcp-<version>-windows-x86_64.zip
# one folder holding vestigor-mcp.exe (stripped), README.md and LICENSE.
install(TARGETS vestigor-mcp RUNTIME DESTINATION . COMPONENT Runtime)
install(FILES README.md LICENSE DESTINATION . COMPONENT Runtime)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vestigor-mcp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME
  "vestigor-mcp-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
