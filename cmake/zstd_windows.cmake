# Builds Debian's libzstd source (fetched by scripts/install-deps.sh into
# VORBEL_ZSTD_SOURCE_DIR) as static Windows libraries:
#   zstd_decompress  decompression only, no legacy formats: what the launcher links
#   zstd_full        compression and decompression, multithreaded: the build tool
set(VORBEL_ZSTD_SOURCE_DIR "${CMAKE_BINARY_DIR}/../deps/libzstd" CACHE PATH
    "Debian's libzstd source tree (scripts/install-deps.sh fetches it)")
get_filename_component(VORBEL_ZSTD_SOURCE_DIR "${VORBEL_ZSTD_SOURCE_DIR}" ABSOLUTE)
set(zstd_lib "${VORBEL_ZSTD_SOURCE_DIR}/lib")
if(NOT EXISTS "${zstd_lib}/zstd.h")
  message(FATAL_ERROR "libzstd source not found in ${VORBEL_ZSTD_SOURCE_DIR}: "
                      "run scripts/install-deps.sh <dir> or set VORBEL_ZSTD_SOURCE_DIR")
endif()

# The host's libzstd-dev and the Windows build must be the same release.
file(STRINGS "${zstd_lib}/zstd.h" zstd_version_lines REGEX "^#define ZSTD_VERSION_(MAJOR|MINOR|RELEASE) ")
string(REGEX REPLACE ".*MAJOR +([0-9]+).*MINOR +([0-9]+).*RELEASE +([0-9]+).*" "\\1.\\2.\\3"
       VORBEL_ZSTD_VERSION "${zstd_version_lines}")
message(STATUS "libzstd source ${VORBEL_ZSTD_VERSION} in ${VORBEL_ZSTD_SOURCE_DIR}")
find_program(VORBEL_HOST_PKG_CONFIG pkg-config)
if(VORBEL_HOST_PKG_CONFIG)
  execute_process(COMMAND ${VORBEL_HOST_PKG_CONFIG} --modversion libzstd
                  OUTPUT_VARIABLE host_zstd_version OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE no_host_zstd)
  if(NOT no_host_zstd AND NOT host_zstd_version VERSION_EQUAL VORBEL_ZSTD_VERSION)
    message(FATAL_ERROR "libzstd source ${VORBEL_ZSTD_VERSION} differs from the host's libzstd-dev "
                        "${host_zstd_version}: run scripts/install-deps.sh again")
  endif()
endif()

set(zstd_common_sources
  ${zstd_lib}/common/debug.c
  ${zstd_lib}/common/entropy_common.c
  ${zstd_lib}/common/error_private.c
  ${zstd_lib}/common/fse_decompress.c
  ${zstd_lib}/common/xxhash.c
  ${zstd_lib}/common/zstd_common.c)
set(zstd_decompress_sources
  ${zstd_lib}/decompress/huf_decompress.c
  ${zstd_lib}/decompress/zstd_ddict.c
  ${zstd_lib}/decompress/zstd_decompress.c
  ${zstd_lib}/decompress/zstd_decompress_block.c)
file(GLOB zstd_compress_sources ${zstd_lib}/compress/*.c)

add_library(zstd_decompress STATIC ${zstd_common_sources} ${zstd_decompress_sources})
target_include_directories(zstd_decompress SYSTEM PUBLIC ${zstd_lib})
target_compile_definitions(zstd_decompress PRIVATE
  ZSTD_LEGACY_SUPPORT=0 ZSTD_STRIP_ERROR_STRINGS ZSTD_NO_TRACE ZSTD_DISABLE_ASM)
target_compile_options(zstd_decompress PRIVATE -Os -ffunction-sections -fdata-sections -w)
target_link_libraries(zstd_decompress PRIVATE vorbel_reproducible)

add_library(zstd_full STATIC
  ${zstd_common_sources} ${zstd_decompress_sources} ${zstd_compress_sources}
  ${zstd_lib}/common/pool.c ${zstd_lib}/common/threading.c)
target_include_directories(zstd_full SYSTEM PUBLIC ${zstd_lib})
target_compile_definitions(zstd_full PRIVATE
  ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD ZSTD_NO_TRACE ZSTD_DISABLE_ASM)
target_compile_options(zstd_full PRIVATE -O2 -w)
target_link_libraries(zstd_full PRIVATE vorbel_reproducible)
