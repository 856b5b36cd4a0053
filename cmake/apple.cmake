# macOS: Apple's libc++ offers floating-point std::to_chars (the JSON
# writer's numbers) from macOS 13.3 on, and marks it unavailable for any
# older deployment target. Unless the build or the environment
# (MACOSX_DEPLOYMENT_TARGET, which Homebrew sets) names one, the target is
# 13.3. Read by project(), hence included before it; ignored elsewhere.
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Darwin" AND NOT DEFINED CMAKE_OSX_DEPLOYMENT_TARGET
   AND NOT DEFINED ENV{MACOSX_DEPLOYMENT_TARGET})
  set(CMAKE_OSX_DEPLOYMENT_TARGET "13.3" CACHE STRING
    "Oldest macOS the server runs on (13.3: floating-point std::to_chars)")
endif()
