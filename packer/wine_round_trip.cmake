# One end-to-end run of the Windows vorbel-pack.exe under Wine, as a CTest
# script: build a packed launcher from a small tree, then verify, list and
# extract it with the same program, and list and clean a cached program's
# folders. Needs only CMake and the emulator command.

#   -DEMULATOR=<wine runner;args> -DPACK=vorbel-pack.exe -DLAUNCHER=launcher.exe -DAPP=sample_app.dll
#   -DSHARED_RUNTIME=shared_runtime.dll -DCPP_NAME=cpp_name_entry.dll -DWORK=<scratch dir>
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/tree/sub")
file(COPY_FILE "${APP}" "${WORK}/app.dll")
file(SIZE "${WORK}/app.dll" app_size)
file(WRITE "${WORK}/notes.txt" "not an application")
file(WRITE "${WORK}/tree/readme.txt" "read me\n")
file(WRITE "${WORK}/tree/sub/empty" "")
# A non-ASCII name: enumerated through the wide API and listed back as UTF-8.
file(WRITE "${WORK}/tree/sub/Grüße.txt" "gruss")
file(COPY_FILE "${LAUNCHER}" "${WORK}/launcher.exe")

function(pack)
  execute_process(COMMAND ${EMULATOR} "${PACK}" ${ARGN}
    WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "vorbel-pack ${ARGN}: status ${status}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

# The Windows build refuses what is no application too, and writes nothing.
execute_process(COMMAND ${EMULATOR} "${PACK}" build --launcher launcher.exe --app notes.txt -o refused.exe
  WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 1 OR NOT err MATCHES "^vorbel-pack: notes.txt: is not an x86-64 Windows DLL" OR EXISTS "${WORK}/refused.exe")
  message(FATAL_ERROR "a text file as the application: status ${status}\n${err}")
endif()

# DLLs as GCC builds them by default: run_code under its C++ name is refused;
# GCC's C++ runtime DLL, imported but not carried, is named in a warning.
file(COPY_FILE "${CPP_NAME}" "${WORK}/cpp_name.dll")
file(COPY_FILE "${SHARED_RUNTIME}" "${WORK}/shared_runtime.dll")
execute_process(COMMAND ${EMULATOR} "${PACK}" build --launcher launcher.exe --app cpp_name.dll -o refused.exe
  WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 1 OR NOT err MATCHES "only the C\\+\\+ name '_Z8run_codeiPPw': declare it extern \"C\"" OR EXISTS "${WORK}/refused.exe")
  message(FATAL_ERROR "run_code under its C++ name: status ${status}\n${err}")
endif()
pack(build --launcher launcher.exe --app shared_runtime.dll -o warned.exe)
if(NOT err MATCHES "warning: shared_runtime.dll: imports libstdc\\+\\+-6.dll, which is neither in the payload nor part of Windows")
  message(FATAL_ERROR "no warning about libstdc++-6.dll:\n${err}")
endif()

# Without --launcher, the one beside the program is taken (found through its own module path).
file(MAKE_DIRECTORY "${WORK}/dist")
file(COPY_FILE "${PACK}" "${WORK}/dist/vorbel-pack.exe")
file(COPY_FILE "${LAUNCHER}" "${WORK}/dist/launcher.exe")
execute_process(COMMAND ${EMULATOR} "${WORK}/dist/vorbel-pack.exe" build --app app.dll -o beside.exe
  WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT EXISTS "${WORK}/beside.exe")
  message(FATAL_ERROR "packing with the launcher beside the tool: status ${status}\n${out}${err}")
endif()

pack(build --launcher launcher.exe --app app.dll --add tree=files --level 3 -o packed.exe)
pack(verify packed.exe)
math(EXPR total "${app_size} + 13")
if(NOT out MATCHES "packed.exe: ok, 4 entries, ${total} bytes")
  message(FATAL_ERROR "unexpected verify output:\n${out}")
endif()
pack(list packed.exe)
string(LENGTH "${app_size}" digits)
math(EXPR pad "10 - ${digits}")
string(REPEAT " " ${pad} spaces)
set(expected "${spaces}${app_size}  app.dll\n         8  files\\readme.txt\n         5  files\\sub\\Grüße.txt\n         0  files\\sub\\empty\nsubsystem: GUI\nsettings: none\n")
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "unexpected list output:\n${out}\nexpected:\n${expected}")
endif()
pack(extract packed.exe unpacked)
file(READ "${WORK}/unpacked/files/sub/Grüße.txt" gruss)
if(NOT gruss STREQUAL "gruss")
  message(FATAL_ERROR "extracted contents differ: '${gruss}'")
endif()

# The cached mode: the folder named after a non-ASCII output name read through
# the wide API, and a bundle id that verify finds to be the payload's hash.
pack(build --launcher launcher.exe --app app.dll --cache -o Grüße.EXE)
pack(verify Grüße.EXE)
if(NOT out MATCHES "Grüße.EXE: cache: application 'Grüße', bundle [0-9a-f]+, root {CACHE_DIR}\n")
  message(FATAL_ERROR "unexpected verify output for the cached mode:\n${out}")
endif()

# cache list and clean of a cached program's folders, found through its
# record: here below its own directory, where nothing else of the prefix lies.
get_filename_component(app_dir "${APP}" DIRECTORY)
file(COPY_FILE "${app_dir}/sample_helper.dll" "${WORK}/sample_helper.dll")
pack(build --launcher launcher.exe --app app.dll --add sample_helper.dll --cache --cache-dir "{PROGRAM_DIR}\\cache"
  -o cached.exe)
execute_process(COMMAND ${EMULATOR} "${WORK}/cached.exe" --exit 0
  WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT IS_DIRECTORY "${WORK}/cache/cached")
  message(FATAL_ERROR "a first cached start: status ${status}\n${out}${err}")
endif()
# The last command's output must match pattern.
function(expect_out pattern what)
  if(NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "unexpected ${what} output:\n${out}")
  endif()
endfunction()
pack(cache list cached.exe)
expect_out("^[^\n]*\\\\cache\\\\cached: [0-9]+ bytes\n  bundle [0-9a-f]+: [0-9]+ bytes\n$" "cache list")
pack(cache clean cached.exe)
expect_out("^removed [^\n]*\\\\cache\\\\cached\\\\[0-9a-f]+\n$" "cache clean")
if(EXISTS "${WORK}/cache/cached")
  message(FATAL_ERROR "cache clean left the application folder")
endif()
pack(cache list cached.exe)
expect_out("^no cache in [^\n]*\\\\cache\n$" "cache list after clean")
