# Install rules of both trees (`make install PREFIX=DIR`, `cmake --install`):
# the host tree installs its vorbel-pack; the Windows tree the launcher,
# vorbel-pack.exe, the adapter with its header, the toolchain file and the
# CMake package (cmake/vorbelConfig.cmake), and libzstd's licence, as the
# launcher and vorbel-pack.exe carry libzstd inside; both trees this project's
# own licence. Together they make the
# layout the build tool's default launcher lookup expects (bin/ beside
# share/vorbel/).
include(CMakePackageConfigHelpers)
install(TARGETS vorbel-pack RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION share/doc/vorbel)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  install(TARGETS launcher RUNTIME DESTINATION share/vorbel)
  install(TARGETS vorbel_adapter ARCHIVE DESTINATION lib)
  install(FILES ${PROJECT_SOURCE_DIR}/adapter/vorbel_app_main.h DESTINATION include)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/vorbelConfigVersion.cmake
    VERSION ${VORBEL_PACK_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/vorbelConfig.cmake ${CMAKE_BINARY_DIR}/vorbelConfigVersion.cmake
                ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake
          DESTINATION lib/cmake/vorbel)
  install(FILES ${VORBEL_ZSTD_SOURCE_DIR}/LICENSE DESTINATION share/doc/vorbel RENAME LICENSE.zstd)
endif()
