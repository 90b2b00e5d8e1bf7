# Host-tree checks that drive the host's build tool and the Windows tree's
# launcher and test programs together: console programs, the build tool on a
# terminal, planted links, module counts and signing. Included by cmake/host.cmake.
set(checked_launcher ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe)

find_program(VORBEL_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
set(console_probe ${VORBEL_WINDOWS_BUILD_DIR}/tests/console_probe.dll)
if(VORBEL_MINGW_OBJDUMP)
  vorbel_windows_check(console_application NEEDS ${console_probe} ${checked_launcher}
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_console_app.sh $<TARGET_FILE:vorbel-pack> ${checked_launcher}
            ${console_probe} ${VORBEL_MINGW_OBJDUMP} ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
endif()

if(EXISTS ${checked_launcher} AND EXISTS ${VORBEL_WINDOWS_BUILD_DIR}/examples/sample_app.dll)
  add_test(NAME pack_progress_on_terminal
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_progress.sh $<TARGET_FILE:vorbel-pack> ${checked_launcher}
            ${VORBEL_WINDOWS_BUILD_DIR}/examples/sample_app.dll)
endif()

# A link planted at the extraction directory's path (tests/planted_link.py).
set(probe_app ${VORBEL_WINDOWS_BUILD_DIR}/tests/probe_app.dll)
set(suspended_start ${VORBEL_WINDOWS_BUILD_DIR}/tests/suspended_start.exe)
vorbel_windows_check(planted_link_refused NEEDS ${checked_launcher} ${probe_app} ${suspended_start}
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/planted_link.py $<TARGET_FILE:vorbel-pack> ${checked_launcher}
          ${probe_app} ${suspended_start} ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)

# The modules each instance of a normal run loads (tests/check_module_count.py).
set(empty_importer ${VORBEL_WINDOWS_BUILD_DIR}/tests/empty_importer.exe)
vorbel_windows_check(modules_loaded_per_instance NEEDS ${checked_launcher} ${probe_app} ${empty_importer}
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/check_module_count.py $<TARGET_FILE:vorbel-pack> ${checked_launcher}
          ${probe_app} ${empty_importer} ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)

# Signing a packed program end to end, with osslsigncode (tests/check_signing.sh).
set(sample_dir ${VORBEL_WINDOWS_BUILD_DIR}/examples)
set(verify_trust ${VORBEL_WINDOWS_BUILD_DIR}/tests/verify_trust.exe)
vorbel_windows_check(signing_end_to_end NEEDS ${checked_launcher} ${sample_dir}/sample_app.dll ${verify_trust}
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_signing.sh $<TARGET_FILE:vorbel-pack> ${checked_launcher}
          ${sample_dir}/sample_app.dll ${sample_dir}/sample_helper.dll ${verify_trust}
          ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)

# The caller's show state (`start /min`, `start /max`) reaches the application.
vorbel_windows_check(minimized_start NEEDS ${checked_launcher} ${probe_app}
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_minimized_start.sh $<TARGET_FILE:vorbel-pack> ${checked_launcher}
          ${probe_app} ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)

# The progress window of a slow start on a virtual X display, when there is
# one to make (tests/check_progress_window.sh).
find_program(VORBEL_XVFB Xvfb)
find_program(VORBEL_XDOTOOL xdotool)
if(VORBEL_XVFB AND VORBEL_XDOTOOL)
  vorbel_windows_check(progress_window_of_a_slow_start NEEDS ${checked_launcher} ${probe_app}
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_progress_window.sh $<TARGET_FILE:vorbel-pack> ${checked_launcher}
            ${probe_app})
endif()

# The Linux and Windows build tools pack one tree into the same bytes.
set(windows_pack ${VORBEL_WINDOWS_BUILD_DIR}/packer/vorbel-pack.exe)
vorbel_windows_check(same_bytes_from_either_tool NEEDS ${checked_launcher} ${windows_pack} ${sample_dir}/sample_app.dll
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_same_bytes.sh $<TARGET_FILE:vorbel-pack> ${windows_pack}
          ${checked_launcher} ${sample_dir}/sample_app.dll ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
