# Cross toolchain for the Windows half of the project: Debian's mingw-w64
# (x86-64, posix thread model, msvcrt runtime). Tests of what it builds run
# under Wine through CMAKE_CROSSCOMPILING_EMULATOR, set by cmake/wine.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VORBEL_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VORBEL_MINGW_TRIPLE}-gcc-posix ${VORBEL_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VORBEL_MINGW_TRIPLE}-g++-posix ${VORBEL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VORBEL_MINGW_TRIPLE}-windres REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${VORBEL_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VORBEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Package configs may also come from the host's prefixes (CMAKE_PREFIX_PATH):
# vorbel's own package is installed there, as it drives the host's vorbel-pack.
# Libraries and headers are still taken from the mingw-w64 root only.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
