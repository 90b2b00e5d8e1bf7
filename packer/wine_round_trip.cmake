# One end-to-end run of the Windows vorbel-pack.exe under Wine, as a CTest
# script: build a packed launcher from a small tree, then verify, list and
# extract it with the same program. Needs only CMake and the emulator command.

#   -DEMULATOR=<wine runner;args> -DPACK=vorbel-pack.exe -DLAUNCHER=launcher.exe -DWORK=<scratch dir>
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/tree/sub")
file(WRITE "${WORK}/app.dll" "MZ not really an application")
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
endfunction()

pack(build --launcher launcher.exe --app app.dll --add tree=files --level 3 -o packed.exe)
pack(verify packed.exe)
if(NOT out MATCHES "packed.exe: ok, 4 entries, 41 bytes")
  message(FATAL_ERROR "unexpected verify output:\n${out}")
endif()
pack(list packed.exe)
set(expected "        28  app.dll\n         8  files\\readme.txt\n         5  files\\sub\\Grüße.txt\n         0  files\\sub\\empty\n")
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "unexpected list output:\n${out}\nexpected:\n${expected}")
endif()
pack(extract packed.exe unpacked)
file(READ "${WORK}/unpacked/files/sub/Grüße.txt" gruss)
if(NOT gruss STREQUAL "gruss")
  message(FATAL_ERROR "extracted contents differ: '${gruss}'")
endif()
