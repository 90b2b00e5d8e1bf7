# Byte-identical images from the same sources and toolchain, wherever the
# tree lies: no build paths in what the compiler writes (__FILE__, debug
# names) and no link-time stamp in the PE headers or the export directory.
# Every shipped image and every library linked into one takes vorbel_reproducible.
add_library(vorbel_reproducible INTERFACE)
target_compile_options(vorbel_reproducible INTERFACE
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
  -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # GNU ld otherwise stamps the link time into the COFF header and a DLL's
  # export directory. Nothing in the images needs a date.
  target_link_options(vorbel_reproducible INTERFACE -Wl,--no-insert-timestamp)
endif()
