# Installs the pinned client packages into DIR with `npm ci`, once: a later run
# whose package-lock.json matches the one installed last time does nothing and
# needs no network.
#   cmake -DNPM=/usr/bin/npm -DDIR=<dir holding package.json and package-lock.json> -P npm_ci.cmake
set(stamp "${DIR}/node_modules/.vestigor-installed-lock.json")
if(EXISTS "${stamp}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${DIR}/package-lock.json" "${stamp}"
                  RESULT_VARIABLE differs)
  if(differs EQUAL 0)
    message(STATUS "node_modules in ${DIR} matches package-lock.json")
    return()
  endif()
endif()
# The only install script in the tree (the Inspector's postinstall) does
# nothing when installed as a dependency, so scripts are not run at all.
execute_process(COMMAND "${NPM}" ci --no-audit --no-fund --ignore-scripts
                WORKING_DIRECTORY "${DIR}"
                RESULT_VARIABLE failed)
if(NOT failed EQUAL 0)
  message(FATAL_ERROR "npm ci failed in ${DIR}")
endif()
file(COPY_FILE "${DIR}/package-lock.json" "${stamp}")
