# Runs the Windows binaries of this build under Wine: a prefix of the build's
# own (created by a CTest fixture before the first Windows test), quiet, and
# with no first-start installers.
find_program(VORBEL_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
find_program(VORBEL_WINE64 NAMES wine64 wine REQUIRED)

set(VORBEL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(VORBEL_WINE_RUN ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VORBEL_WINE_RUN} ${VORBEL_WINE_PREFIX} ${VORBEL_WINE64})

# The prefix is made once per build tree; every Windows test requires it.
add_test(NAME wine_prefix
  COMMAND ${VORBEL_WINE_RUN} ${VORBEL_WINE_PREFIX} ${VORBEL_WINE64} --init)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine LABELS windows)

# Marks tests as Windows tests that need the prefix.
function(vorbel_wine_tests)
  set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED wine LABELS windows)
endfunction()
