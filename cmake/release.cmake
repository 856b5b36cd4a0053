# What scripts/release needs to know about this build tree, in
# <build>/release.env: the version, the GitHub owner the release is
# published under (it names the download URLs, the MCP Registry entry
# io.github.<owner>/vestigor-mcp and the image), the platform key of
# packaging/platforms, and where the server and cpack are.
set(VESTIGOR_RELEASE_OWNER "vestigor-mcp" CACHE STRING
  "GitHub owner the release is published under (io.github.<owner>/vestigor-mcp)")
if(NOT VESTIGOR_RELEASE_OWNER MATCHES "^[A-Za-z0-9][A-Za-z0-9-]*$")
  message(FATAL_ERROR "VESTIGOR_RELEASE_OWNER must be a GitHub user or organisation name")
endif()
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/release.env CONTENT
"VESTIGOR_VERSION=${PROJECT_VERSION}
VESTIGOR_OWNER=${VESTIGOR_RELEASE_OWNER}
VESTIGOR_PLATFORM=${vestigor_platform}
VESTIGOR_SERVER='$<TARGET_FILE:vestigor-mcp>'
VESTIGOR_STATIC=${vestigor_static_link}
VESTIGOR_CPACK='${CMAKE_CPACK_COMMAND}'
VESTIGOR_CMAKE='${CMAKE_COMMAND}'
")
