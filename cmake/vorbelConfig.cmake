# The installed CMake package (PREFIX/lib/cmake/vorbel): the adapter as the
# imported target vorbel::adapter and vorbel_add_onefile(), which packs an
# application DLL into the launcher at build time. Everything is found relative
# to this file, so an installed tree can be moved; nothing here builds code.
cmake_minimum_required(VERSION 3.25)
get_filename_component(_vorbel_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

# The project using the package is cross-compiled for Windows, so the packing
# tool is the build host's program, whatever the target.
if(CMAKE_HOST_WIN32)
  set(_vorbel_pack_name vorbel-pack.exe)
else()
  set(_vorbel_pack_name vorbel-pack)
endif()
set(VORBEL_PACK_EXECUTABLE "${_vorbel_prefix}/bin/${_vorbel_pack_name}"
    CACHE FILEPATH "vorbel-pack for the build host, used by vorbel_add_onefile")
set(VORBEL_LAUNCHER "${_vorbel_prefix}/share/vorbel/launcher.exe"
    CACHE FILEPATH "The launcher that vorbel_add_onefile packs applications into")
set(VORBEL_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake")
foreach(_vorbel_file IN ITEMS "${VORBEL_PACK_EXECUTABLE}" "${VORBEL_LAUNCHER}")
  if(NOT EXISTS "${_vorbel_file}")
    set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
    set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE "vorbel: ${_vorbel_file} is missing from the installed package")
    return()
  endif()
endforeach()

if(NOT TARGET vorbel::adapter)
  add_library(vorbel::adapter STATIC IMPORTED)
  # As the adapter is used in its own build: the program's main is renamed
  # and given C linkage, and the linker keeps run_code although nothing in
  # the program refers to it.
  set_target_properties(vorbel::adapter PROPERTIES
    IMPORTED_LOCATION "${_vorbel_prefix}/lib/libvorbel_adapter.a"
    IMPORTED_LINK_INTERFACE_LANGUAGES CXX
    INTERFACE_COMPILE_OPTIONS "-Dmain=vorbel_app_main;SHELL:-include \"${_vorbel_prefix}/include/vorbel_app_main.h\""
    INTERFACE_LINK_OPTIONS "-Wl,--undefined=run_code")
endif()

# vorbel_add_onefile(NAME APP dll_target [ADD path[=name]...] [ICON file]
#                    [PRODUCT_NAME text] [PRODUCT_VERSION text] [CONSOLE] [OUTPUT file])
# Adds the target NAME (built by default) that packs dll_target and the added
# files into OUTPUT (default: NAME.exe in the current binary folder). Packing
# runs again when the DLL, an added file (or a file below an added folder), the
# icon, the launcher or the tool changes.
function(vorbel_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE" "APP;ICON;PRODUCT_NAME;PRODUCT_VERSION;OUTPUT" "ADD")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vorbel_add_onefile(${name}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_APP)
    message(FATAL_ERROR "vorbel_add_onefile(${name}): APP (the application DLL's target) is required")
  endif()
  if(NOT TARGET ${arg_APP})
    message(FATAL_ERROR "vorbel_add_onefile(${name}): APP ${arg_APP} is not a target")
  endif()
  if(NOT arg_OUTPUT)
    set(arg_OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE)

  set(pack_arguments build --launcher "${VORBEL_LAUNCHER}" --app "$<TARGET_FILE:${arg_APP}>")
  set(depends ${arg_APP} "$<TARGET_FILE:${arg_APP}>" "${VORBEL_LAUNCHER}" "${VORBEL_PACK_EXECUTABLE}")
  foreach(added IN LISTS arg_ADD)
    # The tool splits PATH=NAME at the last '='; the same split here finds the path.
    set(added_name "")
    string(FIND "${added}" "=" split REVERSE)
    if(split GREATER -1)
      string(SUBSTRING "${added}" ${split} -1 added_name)
      string(SUBSTRING "${added}" 0 ${split} added)
    endif()
    cmake_path(ABSOLUTE_PATH added BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    if(IS_DIRECTORY "${added}")
      # A folder's files are its content: each is a dependency, and a file
      # added to or removed from it reconfigures.
      file(GLOB_RECURSE folder_files CONFIGURE_DEPENDS LIST_DIRECTORIES false "${added}/*")
      list(APPEND depends ${folder_files})
    else()
      list(APPEND depends "${added}")
    endif()
    list(APPEND pack_arguments --add "${added}${added_name}")
  endforeach()
  if(arg_ICON)
    cmake_path(ABSOLUTE_PATH arg_ICON BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    list(APPEND pack_arguments --icon "${arg_ICON}")
    list(APPEND depends "${arg_ICON}")
  endif()
  if(DEFINED arg_PRODUCT_NAME)
    list(APPEND pack_arguments --product-name "${arg_PRODUCT_NAME}")
  endif()
  if(DEFINED arg_PRODUCT_VERSION)
    list(APPEND pack_arguments --product-version "${arg_PRODUCT_VERSION}")
  endif()
  if(arg_CONSOLE)
    list(APPEND pack_arguments --console)
  endif()

  # The target depends on a stamp beside the output, not on the output itself:
  # CMake takes a dependency NAME.exe in a target's folder for that target, so
  # `APP hello ... OUTPUT hello.exe` would otherwise depend on hello.dll alone.
  cmake_path(GET arg_OUTPUT FILENAME output_name)
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${name}.packed")
  add_custom_command(OUTPUT "${arg_OUTPUT}" "${stamp}"
    COMMAND "${VORBEL_PACK_EXECUTABLE}" ${pack_arguments} -o "${arg_OUTPUT}"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${depends}
    COMMENT "Packing ${output_name}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${stamp}")
endfunction()
