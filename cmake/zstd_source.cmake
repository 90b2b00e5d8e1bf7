# Builds Debian's libzstd source (fetched and checked by scripts/install-deps.sh into
# VORBEL_ZSTD_SOURCE_DIR) as static libraries, for both trees:
#   zstd_decompress  decompression only, no legacy formats: what the launcher links (Windows)
#   zstd_full        compression and decompression, multithreaded: both build tools, so
#                    that the same input gives the same frame whichever host packs it,
#                    and the Linux tool needs no libzstd of the user's
set(VORBEL_ZSTD_SOURCE_DIR "${CMAKE_BINARY_DIR}/../deps/libzstd" CACHE PATH
    "Debian's libzstd source tree (scripts/install-deps.sh fetches it)")
get_filename_component(VORBEL_ZSTD_SOURCE_DIR "${VORBEL_ZSTD_SOURCE_DIR}" ABSOLUTE)
set(zstd_lib "${VORBEL_ZSTD_SOURCE_DIR}/lib")
if(NOT EXISTS "${zstd_lib}/zstd.h")
  message(FATAL_ERROR "libzstd source not found in ${VORBEL_ZSTD_SOURCE_DIR}: "
                      "run scripts/install-deps.sh <dir> or set VORBEL_ZSTD_SOURCE_DIR")
endif()

# The source must carry every fix the host's libzstd-dev has: the host's own
# Debian revision or a newer one, as install-deps.sh fetched and checked it.
set(zstd_debian_version_file "${VORBEL_ZSTD_SOURCE_DIR}/.debian-version")
if(NOT EXISTS "${zstd_debian_version_file}")
  message(FATAL_ERROR "${VORBEL_ZSTD_SOURCE_DIR} does not say which Debian version it is: "
                      "run scripts/install-deps.sh <dir> again")
endif()
file(STRINGS "${zstd_debian_version_file}" VORBEL_ZSTD_DEBIAN_VERSION LIMIT_COUNT 1)
file(STRINGS "${zstd_lib}/zstd.h" zstd_version_lines REGEX "^#define ZSTD_VERSION_(MAJOR|MINOR|RELEASE) ")
string(REGEX REPLACE ".*MAJOR +([0-9]+).*MINOR +([0-9]+).*RELEASE +([0-9]+).*" "\\1.\\2.\\3"
       VORBEL_ZSTD_VERSION "${zstd_version_lines}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${zstd_debian_version_file}")
message(STATUS "libzstd source ${VORBEL_ZSTD_VERSION} (Debian ${VORBEL_ZSTD_DEBIAN_VERSION}) in ${VORBEL_ZSTD_SOURCE_DIR}")
find_program(VORBEL_DPKG_QUERY dpkg-query)
if(VORBEL_DPKG_QUERY)
  execute_process(COMMAND ${VORBEL_DPKG_QUERY} -W "-f=\${Version}" libzstd-dev
                  OUTPUT_VARIABLE host_zstd_version OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE no_host_zstd)
  if(NOT no_host_zstd)
    execute_process(COMMAND dpkg --compare-versions "${VORBEL_ZSTD_DEBIAN_VERSION}" lt "${host_zstd_version}"
                    RESULT_VARIABLE source_not_older)
    if(source_not_older EQUAL 0)
      message(FATAL_ERROR "libzstd source ${VORBEL_ZSTD_DEBIAN_VERSION} is older than the host's libzstd-dev "
                          "${host_zstd_version}: run scripts/install-deps.sh again")
    endif()
  endif()
endif()
if(EXISTS "${VORBEL_ZSTD_SOURCE_DIR}/.fix-check")
  file(STRINGS "${VORBEL_ZSTD_SOURCE_DIR}/.fix-check" zstd_fix_check LIMIT_COUNT 1)
  if(zstd_fix_check MATCHES "^NOT")
    message(WARNING "libzstd source ${VORBEL_ZSTD_DEBIAN_VERSION}: the host's streaming-memory fix is ${zstd_fix_check}")
  endif()
endif()

# The Debian version of the decoder's source, in every image that links it
# (ZSTD_versionNumber cannot tell two Debian revisions apart). The linker is
# asked for the symbol, so it pulls the object in and never discards it.
set(zstd_source_note "${CMAKE_BINARY_DIR}/generated/zstd_source_note.c")
file(CONFIGURE OUTPUT "${zstd_source_note}" CONTENT
"/* Generated: the Debian version of the libzstd source linked into this image. */
const char vorbel_zstd_source[] = \"libzstd source: @VORBEL_ZSTD_DEBIAN_VERSION@\";
" @ONLY)

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

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  add_library(zstd_decompress STATIC ${zstd_common_sources} ${zstd_decompress_sources} ${zstd_source_note})
  target_include_directories(zstd_decompress SYSTEM PUBLIC ${zstd_lib})
  target_compile_definitions(zstd_decompress PRIVATE
    ZSTD_LEGACY_SUPPORT=0 ZSTD_STRIP_ERROR_STRINGS ZSTD_NO_TRACE ZSTD_DISABLE_ASM)
  target_compile_options(zstd_decompress PRIVATE -Os -ffunction-sections -fdata-sections -w)
  target_link_libraries(zstd_decompress PRIVATE vorbel_reproducible)
  target_link_options(zstd_decompress INTERFACE -Wl,--undefined=vorbel_zstd_source)
endif()

add_library(zstd_full STATIC
  ${zstd_common_sources} ${zstd_decompress_sources} ${zstd_compress_sources}
  ${zstd_lib}/common/pool.c ${zstd_lib}/common/threading.c ${zstd_source_note})
target_include_directories(zstd_full SYSTEM PUBLIC ${zstd_lib})
target_compile_definitions(zstd_full PRIVATE
  ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD ZSTD_NO_TRACE ZSTD_DISABLE_ASM)
target_compile_options(zstd_full PRIVATE -O2 -w)
target_link_libraries(zstd_full PRIVATE vorbel_reproducible)
target_link_options(zstd_full INTERFACE -Wl,--undefined=vorbel_zstd_source)
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  find_package(Threads REQUIRED)
  target_link_libraries(zstd_full PUBLIC Threads::Threads)
endif()
