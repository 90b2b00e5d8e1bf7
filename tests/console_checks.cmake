# Host-tree checks that drive the host's build tool and the Windows tree's
# launcher and test programs together: console programs, the build tool on a
# terminal, planted links, module counts and signing. Included by cmake/host.cmake.
set(checked_launcher ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe)

find_program(VORBEL_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
set(console_probe ${VORBEL_WINDOWS_BUILD_DIR}/tests/console_probe.dll)
if(EXISTS ${console_probe} AND EXISTS ${checked_launcher} AND VORBEL_MINGW_OBJDUMP)
  add_test(NAME console_application
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_console_app.sh $<TARGET_FILE:vorbel-pack> ${checked_launcher}
            ${console_probe} ${VORBEL_MINGW_OBJDUMP} ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
  set_tests_properties(console_application PROPERTIES FIXTURES_REQUIRED wine LABELS windows)
endif()

if(EXISTS ${checked_launcher} AND EXISTS ${VORBEL_WINDOWS_BUILD_DIR}/examples/sample_app.dll)
  add_test(NAME pack_progress_on_terminal
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_progress.sh $<TARGET_FILE:vorbel-pack> ${checked_launcher}
            ${VORBEL_WINDOWS_BUILD_DIR}/examples/sample_app.dll)
endif()

# A link planted at the extraction directory's path (tests/planted_link.py).
set(probe_app ${VORBEL_WINDOWS_BUILD_DIR}/tests/probe_app.dll)
set(suspended_start ${VORBEL_WINDOWS_BUILD_DIR}/tests/suspended_start.exe)
if(EXISTS ${checked_launcher} AND EXISTS ${probe_app} AND EXISTS ${suspended_start})
  add_test(NAME planted_link_refused
    COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/planted_link.py $<TARGET_FILE:vorbel-pack> ${checked_launcher}
            ${probe_app} ${suspended_start} ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
  set_tests_properties(planted_link_refused PROPERTIES FIXTURES_REQUIRED wine LABELS windows)
endif()

# The modules each instance of a normal run loads (tests/check_module_count.py).
set(empty_importer ${VORBEL_WINDOWS_BUILD_DIR}/tests/empty_importer.exe)
if(EXISTS ${checked_launcher} AND EXISTS ${probe_app} AND EXISTS ${empty_importer})
  add_test(NAME modules_loaded_per_instance
    COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/check_module_count.py $<TARGET_FILE:vorbel-pack> ${checked_launcher}
            ${probe_app} ${empty_importer} ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
  set_tests_properties(modules_loaded_per_instance PROPERTIES FIXTURES_REQUIRED wine LABELS windows)
endif()

# Signing a packed program end to end, with osslsigncode (tests/check_signing.sh).
set(sample_dir ${VORBEL_WINDOWS_BUILD_DIR}/examples)
set(verify_trust ${VORBEL_WINDOWS_BUILD_DIR}/tests/verify_trust.exe)
if(EXISTS ${checked_launcher} AND EXISTS ${sample_dir}/sample_app.dll AND EXISTS ${verify_trust})
  add_test(NAME signing_end_to_end
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_signing.sh $<TARGET_FILE:vorbel-pack> ${checked_launcher}
            ${sample_dir}/sample_app.dll ${sample_dir}/sample_helper.dll ${verify_trust}
            ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
  set_tests_properties(signing_end_to_end PROPERTIES FIXTURES_REQUIRED wine LABELS windows)
endif()
