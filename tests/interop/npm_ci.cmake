# Installs the pinned client packages for DIR (which holds package.json and
# package-lock.json): DIR/node_modules becomes a link to an install shared
# by every build tree, SHARED/<SHA-256 of package-lock.json>/node_modules,
# made once with `npm ci` (in a folder of its own, then renamed into place,
# so that trees installing at once each end with a whole install). A later
# run, in this tree or another, needs no network and takes no time.
#   cmake -DNPM=/usr/bin/npm -DDIR=<dir> -DSHARED=<dir> -P npm_ci.cmake
file(SHA256 "${DIR}/package-lock.json" lock)
set(install "${SHARED}/${lock}")
if(NOT EXISTS "${install}/node_modules/.vestigor-installed")
  string(RANDOM LENGTH 12 tag)
  set(work "${SHARED}/installing-${tag}")
  file(MAKE_DIRECTORY "${work}")
  file(COPY_FILE "${DIR}/package.json" "${work}/package.json")
  file(COPY_FILE "${DIR}/package-lock.json" "${work}/package-lock.json")
  # The only install script in the tree (the Inspector's postinstall) does
  # nothing when installed as a dependency, so scripts are not run at all.
  execute_process(COMMAND "${NPM}" ci --no-audit --no-fund --ignore-scripts
                  WORKING_DIRECTORY "${work}"
                  RESULT_VARIABLE failed)
  if(NOT failed EQUAL 0)
    file(REMOVE_RECURSE "${work}")
    message(FATAL_ERROR "npm ci failed for ${DIR}")
  endif()
  file(TOUCH "${work}/node_modules/.vestigor-installed")
  # Renaming a folder onto another that holds files fails: no replacing.
  file(RENAME "${work}" "${install}" RESULT renamed)
  if(NOT renamed STREQUAL "0")
    file(REMOVE_RECURSE "${work}")  # another tree's install came first
  endif()
endif()
# A link or a folder left by an older install.
file(REMOVE_RECURSE "${DIR}/node_modules")
file(CREATE_LINK "${install}/node_modules" "${DIR}/node_modules" SYMBOLIC)
message(STATUS "node_modules in ${DIR} is ${install}/node_modules")
