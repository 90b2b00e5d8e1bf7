# The host half of the build: the portable payload code against Debian's
# libzstd-dev, and its tests. This tree's CTest run also includes the Windows
# build's tests (VORBEL_WINDOWS_BUILD_DIR), so `ctest` here gives one summary.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZSTD REQUIRED IMPORTED_TARGET libzstd)

add_library(payload_portable STATIC ${PROJECT_SOURCE_DIR}/payload/payload_stream.cpp
  ${PROJECT_SOURCE_DIR}/payload/payload_entry.cpp
  ${PROJECT_SOURCE_DIR}/payload/entry_walk.cpp
  ${PROJECT_SOURCE_DIR}/payload/entry_name_rule.cpp
  ${PROJECT_SOURCE_DIR}/payload/launch_settings.cpp
  ${PROJECT_SOURCE_DIR}/payload/pe_import_walk.cpp
  ${PROJECT_SOURCE_DIR}/payload/bundle_record.cpp
  ${PROJECT_SOURCE_DIR}/common/launcher_names.cpp
  ${PROJECT_SOURCE_DIR}/common/decimal_text.cpp
  ${PROJECT_SOURCE_DIR}/common/bounded_text.cpp)
target_include_directories(payload_portable PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(payload_portable PUBLIC PkgConfig::LIBZSTD)

# The preset host-sanitize builds this half again with AddressSanitizer and
# UndefinedBehaviorSanitizer (flags from the preset); its tests carry a prefix
# and join the plain tree's run, which alone adds the checks below.
option(VORBEL_SANITIZE "This tree is the sanitizer build of the host tests" OFF)
set(VORBEL_TEST_PREFIX "" CACHE STRING "Prefix of this tree's unit test names")

add_executable(host_unit_tests ${PROJECT_SOURCE_DIR}/payload/payload_stream_test.cpp
  ${PROJECT_SOURCE_DIR}/payload/bundle_record_test.cpp)
target_link_libraries(host_unit_tests PRIVATE payload_portable gtest_main)
gtest_discover_tests(host_unit_tests TEST_PREFIX "${VORBEL_TEST_PREFIX}" DISCOVERY_TIMEOUT 60)

add_subdirectory(${PROJECT_SOURCE_DIR}/packer ${CMAKE_BINARY_DIR}/packer)

if(VORBEL_SANITIZE)
  return()
endif()

# The sanitizer build of the host tests and the fuzz targets (their own trees,
# built by `make test`) join this tree's test run when they have been built.
set(VORBEL_SANITIZE_BUILD_DIR "" CACHE PATH "Sanitizer build tree whose tests join this tree's test run")
set(VORBEL_FUZZ_BUILD_DIR "" CACHE PATH "Fuzz target tree whose tests join this tree's test run")
file(WRITE ${CMAKE_BINARY_DIR}/checked_trees.cmake "")
foreach(tree IN ITEMS "${VORBEL_SANITIZE_BUILD_DIR}" "${VORBEL_FUZZ_BUILD_DIR}")
  if(tree)
    file(APPEND ${CMAKE_BINARY_DIR}/checked_trees.cmake
         "if(EXISTS \"${tree}/CTestTestfile.cmake\")\n  subdirs(\"${tree}\")\nendif()\n")
  endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/checked_trees.cmake)

set(VORBEL_WINDOWS_BUILD_DIR "" CACHE PATH "Windows build tree whose tests join this tree's test run")
if(VORBEL_WINDOWS_BUILD_DIR)
  file(WRITE ${CMAKE_BINARY_DIR}/windows_tests.cmake
       "if(EXISTS \"${VORBEL_WINDOWS_BUILD_DIR}/CTestTestfile.cmake\")\n"
       "  subdirs(\"${VORBEL_WINDOWS_BUILD_DIR}\")\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows_tests.cmake)
endif()

add_test(NAME source_layering COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_layering.sh ${PROJECT_SOURCE_DIR})
add_test(NAME launcher_error_table COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/check_error_table.py ${PROJECT_SOURCE_DIR})
# The README's sizes of the images in dist/ are those the build made.
add_test(NAME readme_figures
  COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/readme-figures.py --check ${PROJECT_SOURCE_DIR}/README.md ${VORBEL_DIST_DIR})

# The packed image read back by tools nobody here wrote (needs the Windows tree).
find_program(VORBEL_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
if(VORBEL_WINDOWS_BUILD_DIR AND VORBEL_MINGW_OBJDUMP)
  add_test(NAME packed_image_read_back
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_packed_image.sh $<TARGET_FILE:vorbel-pack>
            ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe ${VORBEL_WINDOWS_BUILD_DIR}/examples/sample_app.dll
            ${VORBEL_MINGW_OBJDUMP} ${VORBEL_WINDOWS_BUILD_DIR}/product_NAME.txt
            ${VORBEL_WINDOWS_BUILD_DIR}/product_VERSION.txt)
endif()

# A test of the Windows tree's programs, run by this tree in that tree's Wine
# prefix: added only when every file it NEEDS exists (the Windows tree is
# built first).
function(vorbel_windows_check name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "NEEDS;COMMAND")
  foreach(needed IN LISTS arg_NEEDS)
    if(NOT EXISTS "${needed}")
      return()
    endif()
  endforeach()
  add_test(NAME ${name} COMMAND ${arg_COMMAND})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine LABELS windows)
endfunction()

# Console programs: the adapter's worked example and the console image checks.
if(VORBEL_WINDOWS_BUILD_DIR)
  include(${PROJECT_SOURCE_DIR}/examples/zstd/pack.cmake)
  include(${PROJECT_SOURCE_DIR}/examples/lua/pack.cmake)
  include(${PROJECT_SOURCE_DIR}/tests/console_checks.cmake)
endif()

# The application's own icon and version read back by icoutils (needs the Windows tree).
if(VORBEL_WINDOWS_BUILD_DIR)
  add_test(NAME app_resources_read_back
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_app_resources.sh $<TARGET_FILE:vorbel-pack>
            ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe ${VORBEL_WINDOWS_BUILD_DIR}/examples/sample_app.dll)
endif()

# GCC's runtime DLLs taken from the toolchain's folders at pack time, and named
# at start-up when one is left out (needs the Windows tree and its compiler).
find_program(VORBEL_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
set(shared_runtime ${VORBEL_WINDOWS_BUILD_DIR}/tests/shared_runtime.dll)
if(VORBEL_WINDOWS_BUILD_DIR AND VORBEL_MINGW_CXX)
  vorbel_windows_check(dependency_chain NEEDS ${shared_runtime}
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_dependency_chain.sh $<TARGET_FILE:vorbel-pack>
            ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe ${shared_runtime} ${VORBEL_MINGW_CXX}
            ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
endif()

# Both trees installed into a scratch prefix and used by examples/cmake_project
# through find_package(vorbel) (needs the Windows tree).
if(VORBEL_WINDOWS_BUILD_DIR AND EXISTS ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe)
  add_test(NAME cmake_package_example
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_cmake_package.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
            ${VORBEL_WINDOWS_BUILD_DIR} ${CMAKE_BINARY_DIR}/cmake_package_example)
  set_tests_properties(cmake_package_example PROPERTIES FIXTURES_REQUIRED wine LABELS windows)
  # `make release`: both archives written twice and compared, then used as the README says.
  add_test(NAME release_archives
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_release.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
            ${VORBEL_WINDOWS_BUILD_DIR} ${CMAKE_BINARY_DIR}/release_archives
            ${VORBEL_WINDOWS_BUILD_DIR}/tests/probe_app.dll)
  set_tests_properties(release_archives PROPERTIES FIXTURES_REQUIRED wine LABELS windows)
endif()
