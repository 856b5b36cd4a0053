# Wine for the test suites: find it, write the build's launcher (a prefix
# under the build folder) and the fixture that warms it up. Sets
# VESTIGOR_WINE_RUN to the launcher.
find_program(VESTIGOR_WINE NAMES wine64 wine HINTS /usr/lib/wine REQUIRED)
find_program(VESTIGOR_WINESERVER NAMES wineserver64 wineserver
  HINTS /usr/lib/wine REQUIRED)
set(VESTIGOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(VESTIGOR_WINE_RUN ${CMAKE_BINARY_DIR}/wine)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine.sh.in ${VESTIGOR_WINE_RUN}
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
add_test(NAME wine_warm_up
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/warm_up.sh ${VESTIGOR_WINE_RUN}
    ${VESTIGOR_WINESERVER})
set_tests_properties(wine_warm_up PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
