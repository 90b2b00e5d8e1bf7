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

# vorbel_add_onefile(NAME APP dll_target|file [OUTPUT file] [ADD path[=name]...] [CONSOLE]
#   [SEARCH_PATH folder...] [STRICT] [LEVEL n] [LONG] [LONG_WINDOW_LOG n] [THREADS n] [LAUNCHER file]
#   [ICON file] [MANIFEST file] [PRODUCT_NAME text] [PRODUCT_VERSION text] [FILE_VERSION text]
#   [FILE_DESCRIPTION text] [COMPANY_NAME text] [COPYRIGHT text] [ORIGINAL_FILENAME text]
#   [INTERNAL_NAME text] [ARGS text...] [EXACT_ARGUMENTS] [ERROR_DIALOG] [PROGRESS_WINDOW] [PROGRESS]
#   [CACHE [CACHE_DIR spec]]
#   [EXTRA_ARGS arg...])
# Adds the target NAME (built by default) that packs the application DLL and
# the added files into OUTPUT (default: NAME.exe in the current binary folder)
# with `vorbel-pack build`; each keyword is the tool's option of the same name
# (ARGS: one --arg each; PROGRESS_WINDOW and PROGRESS: --progress-window for
# a GUI program, --progress for a CONSOLE one; CACHE: --cache, the extract-once mode, whose folder
# is named after PRODUCT_NAME or else OUTPUT; CACHE_DIR: --cache-dir, its root,
# a directory spec such as "{CACHE_DIR}\\Vendor"; EXTRA_ARGS: passed as they
# stand). APP, ADD, ICON, MANIFEST and LAUNCHER take generator expressions
# ($<TARGET_FILE:helper>); relative paths, plain or from a generator
# expression, are taken from the current source folder, and an ADD,
# SEARCH_PATH, ICON or MANIFEST item that comes out empty is left out. Packing runs
# again when the DLL, an added file (or a file below an added folder), the
# icon, the manifest, the launcher or the tool changes.
function(vorbel_add_onefile name)
  # A list in quotes: a bare CACHE would make set() write a cache entry.
  set(flags "CONSOLE;STRICT;LONG;EXACT_ARGUMENTS;ERROR_DIALOG;PROGRESS_WINDOW;PROGRESS;CACHE")
  set(values APP OUTPUT LEVEL LONG_WINDOW_LOG THREADS LAUNCHER ICON MANIFEST CACHE_DIR)
  # Strings of the version resource: KEYWORD and the option --keyword.
  set(version_strings PRODUCT_NAME PRODUCT_VERSION FILE_VERSION FILE_DESCRIPTION COMPANY_NAME COPYRIGHT
                      ORIGINAL_FILENAME INTERNAL_NAME)
  cmake_parse_arguments(PARSE_ARGV 1 arg "${flags}" "${values};${version_strings}"
                        "ADD;SEARCH_PATH;ARGS;EXTRA_ARGS;SIGN_COMMAND")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vorbel_add_onefile(${name}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_APP)
    message(FATAL_ERROR "vorbel_add_onefile(${name}): APP (the application DLL's target or file) is required")
  endif()
  if(DEFINED arg_CACHE_DIR AND NOT arg_CACHE)
    message(FATAL_ERROR "vorbel_add_onefile(${name}): CACHE_DIR is the root of CACHE, which was not given")
  endif()
  if(NOT arg_OUTPUT)
    set(arg_OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE)
  if(NOT arg_LAUNCHER)
    set(arg_LAUNCHER "${VORBEL_LAUNCHER}")
  endif()

  set(depends "${VORBEL_PACK_EXECUTABLE}")
  # A file input: a target, a generator expression (left as it is: the source
  # folder in front of one would spoil it) or a path; its file is a
  # dependency, and so is a target named by $<TARGET_FILE:...>. Passed with
  # _vorbel_late.
  macro(_vorbel_input variable)
    if(TARGET "${${variable}}")
      list(APPEND depends "${${variable}}")
      set(${variable} "$<TARGET_FILE:${${variable}}>")
    elseif("${${variable}}" MATCHES "^\\$<TARGET_FILE:([^>]+)>$" AND TARGET "${CMAKE_MATCH_1}")
      list(APPEND depends "${CMAKE_MATCH_1}")
    elseif(NOT "${${variable}}" MATCHES "\\$<")
      cmake_path(ABSOLUTE_PATH ${variable} BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    endif()
    # Any other generator expression is depended on through _vorbel_late.
    if(NOT "${${variable}}" MATCHES "\\$<" OR "${${variable}}" MATCHES "^\\$<TARGET_FILE:[^>]+>$")
      list(APPEND depends "${${variable}}")
    endif()
  endmacro()

  # SIGN_COMMAND signs copies of the PE files the build makes, in a folder of
  # this target's, before packing, and the packed output after: the build's
  # own outputs are never changed, so a rebuild without changes does nothing.
  # {file} in the command stands for the file to sign, in place.
  set(sign_folder "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${name}.signed")
  set(sign_commands "")
  macro(_vorbel_sign_command variable file)
    set(${variable} "")
    foreach(word IN LISTS arg_SIGN_COMMAND)
      string(REPLACE "{file}" "${file}" word "${word}")
      list(APPEND ${variable} "${word}")
    endforeach()
  endmacro()
  # Replaces a PE input made by the build with its signed copy.
  macro(_vorbel_signed variable)
    if(arg_SIGN_COMMAND)
      if("${${variable}}" MATCHES "^\\$<TARGET_FILE:([^>]+)>$")
        set(copy "${sign_folder}/$<TARGET_FILE_NAME:${CMAKE_MATCH_1}>")
      else()
        cmake_path(GET ${variable} FILENAME copy_name)
        set(copy "${sign_folder}/${copy_name}")
      endif()
      _vorbel_sign_command(sign_one "${copy}")
      list(APPEND sign_commands COMMAND "${CMAKE_COMMAND}" -E copy "${${variable}}" "${copy}" COMMAND ${sign_one})
      set(${variable} "${copy}")
    endif()
  endmacro()

  # An ADD, SEARCH_PATH or ICON item holding a generator expression is known
  # only at build time, and the standard idiom $<$<CONFIG:Debug>:x> comes out
  # empty in other configurations: such an item is passed through an argument
  # file the build writes, one per item so that the options keep their order,
  # which leaves out an item that comes out empty and takes a relative path
  # from the current source folder, as for a plain path. $<TARGET_FILE:...>
  # and the signed copies are never empty or relative and stay as they are.
  set(late_count 0)
  macro(_vorbel_late option variable suffix input)
    string(FIND "${${variable}}" "${sign_folder}/" late_signed)
    if("${${variable}}" MATCHES "\\$<" AND NOT "${${variable}}" MATCHES "^\\$<TARGET_FILE:[^>]+>$"
       AND NOT late_signed EQUAL 0)
      # The source folder and the suffix are taken as they stand.
      set(late_literals "${CMAKE_CURRENT_SOURCE_DIR}" "${suffix}")
      list(TRANSFORM late_literals REPLACE ">" "$<ANGLE-R>")
      list(TRANSFORM late_literals REPLACE "," "$<COMMA>")
      list(GET late_literals 0 late_base)
      list(GET late_literals 1 late_suffix)
      set(late_path "$<PATH:ABSOLUTE_PATH,NORMALIZE,${${variable}},${late_base}>")
      set(late_present "$<NOT:$<STREQUAL:${${variable}},>>")
      math(EXPR late_count "${late_count} + 1")
      set(late_file "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${name}.arguments/${late_count}-$<CONFIG>.txt")
      file(GENERATE OUTPUT "${late_file}" CONTENT "$<${late_present}:${option}\n${late_path}${late_suffix}\n>")
      list(APPEND pack_arguments "@${late_file}")
      list(APPEND depends "${late_file}")
      if(${input})
        list(APPEND depends "$<${late_present}:${late_path}>")
      endif()
    else()
      list(APPEND pack_arguments ${option} "${${variable}}${suffix}")
    endif()
  endmacro()

  _vorbel_input(arg_APP)
  _vorbel_input(arg_LAUNCHER)
  _vorbel_signed(arg_APP)
  set(pack_arguments build)
  _vorbel_late(--launcher arg_LAUNCHER "" TRUE)
  _vorbel_late(--app arg_APP "" TRUE)
  foreach(added IN LISTS arg_ADD)
    # The tool splits PATH=NAME at the last '='; the same split here finds the path.
    set(added_name "")
    string(FIND "${added}" "=" split REVERSE)
    if(split GREATER -1)
      string(SUBSTRING "${added}" ${split} -1 added_name)
      string(SUBSTRING "${added}" 0 ${split} added)
    endif()
    if(NOT TARGET "${added}" AND NOT "${added}" MATCHES "\\$<")
      cmake_path(ABSOLUTE_PATH added BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    endif()
    if(IS_DIRECTORY "${added}")
      # A folder's files are its content: each is a dependency, and a file
      # added to or removed from it reconfigures.
      file(GLOB_RECURSE folder_files CONFIGURE_DEPENDS LIST_DIRECTORIES false "${added}/*")
      list(APPEND depends ${folder_files})
    else()
      _vorbel_input(added)
      # Added PE files are signed too: a target's, or a file named .dll or .exe.
      if("${added}" MATCHES "^\\$<TARGET_FILE:" OR "${added}" MATCHES "\\.([dD][lL][lL]|[eE][xX][eE])$")
        if(added_name STREQUAL "")
          _vorbel_signed(added)
        else()
          message(FATAL_ERROR "vorbel_add_onefile(${name}): SIGN_COMMAND signs added PE files under their own "
                              "names; give ${added} without =NAME")
        endif()
      endif()
    endif()
    _vorbel_late(--add added "${added_name}" TRUE)
  endforeach()
  foreach(keyword IN ITEMS ICON MANIFEST)
    if(arg_${keyword})
      _vorbel_input(arg_${keyword})
      string(TOLOWER "${keyword}" option)
      _vorbel_late(--${option} arg_${keyword} "" TRUE)
    endif()
  endforeach()
  foreach(folder IN LISTS arg_SEARCH_PATH)
    if(NOT folder MATCHES "\\$<")
      cmake_path(ABSOLUTE_PATH folder BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    endif()
    _vorbel_late(--search-path folder "" FALSE)
  endforeach()
  foreach(keyword IN LISTS version_strings ITEMS LEVEL THREADS)
    if(DEFINED arg_${keyword})
      string(TOLOWER "${keyword}" option)
      string(REPLACE "_" "-" option "${option}")
      _vorbel_late(--${option} arg_${keyword} "" TRUE)
    endif()
  endforeach()
  if(DEFINED arg_LONG_WINDOW_LOG)
    list(APPEND pack_arguments --long=${arg_LONG_WINDOW_LOG})
  elseif(arg_LONG)
    list(APPEND pack_arguments --long)
  endif()
  foreach(argument IN LISTS arg_ARGS)
    list(APPEND pack_arguments --arg "${argument}")
  endforeach()
  foreach(flag IN ITEMS CONSOLE STRICT EXACT_ARGUMENTS ERROR_DIALOG PROGRESS_WINDOW PROGRESS CACHE)
    if(arg_${flag})
      string(TOLOWER "${flag}" option)
      string(REPLACE "_" "-" option "${option}")
      list(APPEND pack_arguments --${option})
    endif()
  endforeach()
  if(DEFINED arg_CACHE_DIR)
    list(APPEND pack_arguments --cache-dir "${arg_CACHE_DIR}")
  endif()
  list(APPEND pack_arguments ${arg_EXTRA_ARGS})

  # The target depends on a stamp beside the output, not on the output itself:
  # CMake takes a dependency NAME.exe in a target's folder for that target, so
  # `APP hello ... OUTPUT hello.exe` would otherwise depend on hello.dll alone.
  cmake_path(GET arg_OUTPUT FILENAME output_name)
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${name}.packed")
  set(sign_output "")
  if(arg_SIGN_COMMAND)
    _vorbel_sign_command(sign_output "${arg_OUTPUT}")
    set(sign_output COMMAND ${sign_output})
    list(PREPEND sign_commands COMMAND "${CMAKE_COMMAND}" -E make_directory "${sign_folder}")
  endif()
  add_custom_command(OUTPUT "${arg_OUTPUT}" "${stamp}"
    ${sign_commands}
    COMMAND "${VORBEL_PACK_EXECUTABLE}" ${pack_arguments} -o "${arg_OUTPUT}"
    ${sign_output}
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${depends}
    COMMENT "Packing ${output_name}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${stamp}")
endfunction()
