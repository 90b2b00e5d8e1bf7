# Host half of the worked example: packs the Windows tree's zstd.dll with
# --console into dist/zstd-onefile.exe, with this tree's vorbel-pack, and
# tests it under Wine. Included by cmake/host.cmake when the Windows tree exists.
set(zstd_dll ${VORBEL_WINDOWS_BUILD_DIR}/examples/zstd/zstd.dll)
set(zstd_launcher ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe)
if(EXISTS ${zstd_dll} AND EXISTS ${zstd_launcher})
  add_custom_command(OUTPUT ${VORBEL_DIST_DIR}/zstd-onefile.exe
    COMMAND vorbel-pack build --console --launcher ${zstd_launcher} --app ${zstd_dll}
            -o ${VORBEL_DIST_DIR}/zstd-onefile.exe
    DEPENDS vorbel-pack ${zstd_dll} ${zstd_launcher}
    COMMENT "Packing dist/zstd-onefile.exe")
  add_custom_target(zstd_onefile ALL DEPENDS ${VORBEL_DIST_DIR}/zstd-onefile.exe)

  vorbel_windows_check(zstd_onefile_round_trip
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_zstd_onefile.sh ${VORBEL_DIST_DIR}/zstd-onefile.exe
            ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
endif()
