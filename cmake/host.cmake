# The host half of the build: the portable payload code against Debian's
# libzstd-dev, and its tests. This tree's CTest run also includes the Windows
# build's tests (VORBEL_WINDOWS_BUILD_DIR), so `ctest` here gives one summary.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZSTD REQUIRED IMPORTED_TARGET libzstd)

add_library(payload_portable STATIC ${PROJECT_SOURCE_DIR}/payload/payload_stream.cpp
  ${PROJECT_SOURCE_DIR}/payload/entry_name_rule.cpp)
target_include_directories(payload_portable PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(payload_portable PUBLIC PkgConfig::LIBZSTD)

add_executable(host_unit_tests ${PROJECT_SOURCE_DIR}/payload/payload_stream_test.cpp)
target_link_libraries(host_unit_tests PRIVATE payload_portable gtest_main)
gtest_discover_tests(host_unit_tests)

add_subdirectory(${PROJECT_SOURCE_DIR}/packer ${CMAKE_BINARY_DIR}/packer)

set(VORBEL_WINDOWS_BUILD_DIR "" CACHE PATH "Windows build tree whose tests join this tree's test run")
if(VORBEL_WINDOWS_BUILD_DIR)
  file(WRITE ${CMAKE_BINARY_DIR}/windows_tests.cmake
       "if(EXISTS \"${VORBEL_WINDOWS_BUILD_DIR}/CTestTestfile.cmake\")\n"
       "  subdirs(\"${VORBEL_WINDOWS_BUILD_DIR}\")\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows_tests.cmake)
endif()

add_test(NAME source_layering COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_layering.sh ${PROJECT_SOURCE_DIR})

# The packed image read back by tools nobody here wrote (needs the Windows tree).
find_program(VORBEL_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
if(VORBEL_WINDOWS_BUILD_DIR AND VORBEL_MINGW_OBJDUMP)
  add_test(NAME packed_image_read_back
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_packed_image.sh $<TARGET_FILE:vorbel-pack>
            ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe ${VORBEL_WINDOWS_BUILD_DIR}/examples/sample_app.dll
            ${VORBEL_MINGW_OBJDUMP} ${VORBEL_WINDOWS_BUILD_DIR}/product_NAME.txt
            ${VORBEL_WINDOWS_BUILD_DIR}/product_VERSION.txt)
endif()

# Console programs: the adapter's worked example and the console image checks.
if(VORBEL_WINDOWS_BUILD_DIR)
  include(${PROJECT_SOURCE_DIR}/examples/zstd/pack.cmake)
  include(${PROJECT_SOURCE_DIR}/tests/console_checks.cmake)
endif()

# The application's own icon and version read back by icoutils (needs the Windows tree).
if(VORBEL_WINDOWS_BUILD_DIR)
  add_test(NAME app_resources_read_back
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_app_resources.sh $<TARGET_FILE:vorbel-pack>
            ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe ${VORBEL_WINDOWS_BUILD_DIR}/examples/sample_app.dll)
endif()
