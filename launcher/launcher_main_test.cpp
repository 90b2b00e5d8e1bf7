// Tests of the run sequence: the role decision and its environment variables,
// and the failures that end a run before anything is unpacked.
#include "launcher/launcher_main.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <algorithm>
#include <filesystem>

#include "common/bounded_text.h"
#include "common/error_dialog.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "launcher/relaunch.h"
#include "paths/path_spec.h"
#include "payload/unpack_payload.h"
#include "tests/support/dialog_recorder.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"
#include "tests/support/unpacking.h"

namespace {

const wchar_t PARENT[] = L"VORBEL_ONEFILE_PARENT";
const wchar_t START[] = L"VORBEL_ONEFILE_START";

VORBEL_SCENARIO(sleep_until_stopped) {
  Sleep(120000);
  return 0;
}

std::wstring own_id() {
  return std::to_wstring(GetCurrentProcessId());
}

// A live process of this very executable, and one of another file.
std::wstring sleeping_copy_command(const std::wstring& exe) {
  return quote_argument(exe) + L" --scenario=sleep_until_stopped";
}

TEST(DecideRole, WithoutParentTheProcessExtractsAndKeepsAnInheritedStart) {
  for (std::optional<std::wstring> parent : {std::optional<std::wstring>{}, std::optional<std::wstring>{L""}}) {
    ScopedEnv parent_env(PARENT, parent);
    ScopedEnv start_env(START, L"134116992000000000");
    EXPECT_FALSE(decide_role());
    EXPECT_EQ(env_value(PARENT), own_id());
    EXPECT_EQ(env_value(START), L"134116992000000000");
  }
}

TEST(DecideRole, AParentThatIsNoLiveCopyOfThisExecutableIsForgotten) {
  ScratchDir scratch;
  std::filesystem::path other = scratch.path() / L"other_program.exe";
  std::filesystem::copy_file(own_executable(), other);
  RunningProcess other_program(other.wstring(), sleeping_copy_command(other.wstring()));
  ASSERT_NE(other_program.id(), 0u);

  DWORD ended_id = 0;
  {
    RunningProcess ended(own_executable(), sleeping_copy_command(own_executable()));
    ended_id = ended.id();
  }
  const std::wstring values[] = {
      L"abc", L"12ab", L"0", L"4294967296", L"99999999999999999999", std::to_wstring(ended_id),
      std::to_wstring(other_program.id()),  // same content, another file
  };
  for (const auto& value : values) {
    ScopedEnv parent_env(PARENT, value);
    ScopedEnv start_env(START, L"134116992000000000");
    EXPECT_FALSE(decide_role()) << narrow(value);
    EXPECT_EQ(env_value(PARENT), own_id()) << narrow(value);
    EXPECT_EQ(env_value(START), std::nullopt) << narrow(value);
  }
}

TEST(DecideRole, ALiveCopyOfThisExecutableMakesTheProcessReLaunched) {
  RunningProcess parent(own_executable(), sleeping_copy_command(own_executable()));
  ASSERT_NE(parent.id(), 0u);
  // Let the process come up far enough to report its image name.
  wchar_t image[MAX_PATH];
  for (int tries = 0; tries < 200 && K32GetModuleFileNameExW(parent.handle(), nullptr, image, MAX_PATH) == 0; ++tries) {
    Sleep(50);
  }
  const std::wstring canonical = std::to_wstring(parent.id());
  const std::wstring values[] = {
      canonical,
      L"  " + canonical,  // the conversion skips blanks, takes a sign and leading zeros
      L"+" + canonical,
      L"0" + canonical,
  };
  for (const auto& value : values) {
    ScopedEnv parent_env(PARENT, value);
    ScopedEnv start_env(START, L"5");
    EXPECT_TRUE(decide_role()) << narrow(value);
    // {PID}, and the application, read the id as the parent wrote it, so the
    // run finds the parent's directory, not another or none.
    EXPECT_EQ(env_value(PARENT), canonical) << narrow(value);
    EXPECT_EQ(env_value(START), L"5");
    wchar_t expanded[64];
    ASSERT_TRUE(expand_path_spec(expanded, L"onefile_{PID}_{TIME}", 64)) << narrow(value);
    EXPECT_EQ(std::wstring(expanded), L"onefile_" + canonical + L"_5") << narrow(value);
  }
}

VORBEL_SCENARIO(decide_role_only) {
  return decide_role() ? 10 : 11;
}

// A packed program renamed or moved while it runs: its copy started from
// inside the application cannot open the file its parent runs from.
TEST(DecideRole, AParentWhoseFileMovedWhileItRanIsReported) {
  ScratchDir scratch;
  std::filesystem::path started = scratch.path() / L"packed.exe";
  std::filesystem::copy_file(own_executable(), started);
  RunningProcess parent(started.wstring(), sleeping_copy_command(started.wstring()));
  ASSERT_NE(parent.id(), 0u);
  wchar_t image[MAX_PATH];
  for (int tries = 0; tries < 200 && K32GetModuleFileNameExW(parent.handle(), nullptr, image, MAX_PATH) == 0; ++tries) {
    Sleep(50);
  }
  ASSERT_TRUE(MoveFileW(started.c_str(), (scratch.path() / L"renamed.exe").c_str()));
  RunOptions options;
  options.env[PARENT] = std::to_wstring(parent.id());
  ProcessResult result = run_scenario("decide_role_only", options);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, the packed program's file moved while it ran ([Error 2] " +
                                  system_message(ERROR_FILE_NOT_FOUND) + ")\n"));
  EXPECT_EQ(result.out, "");
}

// Whole runs of launcher_main in a process of their own. The test program
// carries no payload resource.

VORBEL_SCENARIO(launcher_main_without_payload) {
  return launcher_main(nullptr, nullptr, nullptr, 0);
}

BOOL WINAPI refuse_handler(PHANDLER_ROUTINE, BOOL) {
  return FALSE;
}

VORBEL_SCENARIO(launcher_main_handler_refused) {
  system_calls.SetConsoleCtrlHandler = refuse_handler;
  return launcher_main(nullptr, nullptr, nullptr, 0);
}

DWORD WINAPI very_long_temp_path(DWORD length, LPWSTR buffer) {
  // Leaves no room for the literal that follows {TEMP} in the default spec.
  const DWORD wanted = 4090;
  if (length <= wanted) return wanted + 1;
  wmemset(buffer, L'x', wanted);
  buffer[wanted] = L'\0';
  return wanted;
}

VORBEL_SCENARIO(launcher_main_spec_fails) {
  system_calls.GetTempPathW = very_long_temp_path;
  return launcher_main(nullptr, nullptr, nullptr, 0);
}

TEST(LauncherMain, WithoutPayloadTheHeaderMessageEndsTheRun) {
  ProcessResult result = run_scenario("launcher_main_without_payload", {.env = {{PARENT, std::nullopt}}});
  EXPECT_EQ(result.out, text_mode("Error, couldn't find attached data header.\n"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 2u);
}

TEST(LauncherMain, ARefusedConsoleHandlerEndsTheRunBeforeThePayloadIsRead) {
  ProcessResult result = run_scenario("launcher_main_handler_refused", {.env = {{PARENT, std::nullopt}}});
  EXPECT_EQ(result.out, text_mode("Error, failed to register signal handler.\n"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 2u);
}

TEST(LauncherMain, ASpecThatCannotBeExpandedIsReportedAndAborts) {
  ProcessResult result = run_scenario("launcher_main_spec_fails", {.env = {{PARENT, std::nullopt}}});
  EXPECT_EQ(result.err.rfind(text_mode("Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME}'.\n"), 0), 0u)
      << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_code, ABORT_STATUS);
}

VORBEL_SCENARIO(relaunched_in) {
  copy_wide(extraction_dir, PATH_CAPACITY, __wargv[2]);
  copy_wide(first_entry_path, FIRST_ENTRY_PATH_CAPACITY, (std::wstring(__wargv[2]) + L"\\app.dll").c_str());
  return run_application_dll(__argc, __wargv);
}

// The directory's lock is gone (the directory was emptied from under the
// run): the copy stops before it loads anything from there.
TEST(RunApplicationDll, WithoutTheDirectorysLockNothingIsLoaded) {
  ScratchDir scratch;
  write_file(scratch.path() / L"app.dll", "not loaded");
  ProcessResult result = run_scenario("relaunched_in", {}, {scratch.str()});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, couldn't lock the extraction directory '" + narrow(scratch.str()) +
                                  "\\vorbel.lck' ([Error 2] " + system_message(ERROR_FILE_NOT_FOUND) + ")\n"));
  EXPECT_EQ(result.out, "");
}

// Packed with --error-dialog: the application's DLL imports one that is
// missing. The stream gets the load error, then its cause; the one box the
// run shows names the cause first, then the load error without the system
// text's line break, titled with the product name and with the error icon.
VORBEL_SCENARIO(missing_dll_with_dialog_in) {
  error_dialog_enabled = true;
  record_error_dialogs(L"visible");
  copy_wide(extraction_dir, PATH_CAPACITY, __wargv[2]);
  copy_wide(first_entry_path, FIRST_ENTRY_PATH_CAPACITY, (std::wstring(__wargv[2]) + L"\\app.dll").c_str());
  return start_application_dll(__argc, __wargv);
}

TEST(StartApplicationDll, AMissingDllGivesOneBoxWithTheCauseFirst) {
  ScratchDir scratch;
  std::filesystem::copy_file(VORBEL_SAMPLE_APP_DLL, scratch.path() / L"app.dll");  // without sample_helper.dll
  ProcessResult result = run_scenario("missing_dll_with_dialog_in", {}, {scratch.str()});
  const std::string load = "Error, load DLL. ([Error 126] ";
  const std::string cause =
      "Error, 'app.dll' imports 'sample_helper.dll', which is neither among the unpacked files nor in the system "
      "directory.";
  EXPECT_EQ(result.err, text_mode(load + system_message(ERROR_MOD_NOT_FOUND) + ")\n" + cause + "\n"));
  EXPECT_EQ(result.out, text_mode("station?\nbox(error, " + std::string(UNIT_TESTS_PRODUCT_NAME) + "): " + cause +
                                  "\n" + load + system_message_in_box(ERROR_MOD_NOT_FOUND) + ")|\n"));
  EXPECT_EQ(result.exit_code, 2u);
}

// The machine refuses the application's DLL: a policy (AppLocker, Software
// Restriction Policies, WDAC) or an antivirus. The load's error is followed by
// one line saying what it means, in the stream and in the one box alike.
DWORD refused_load_code;

HMODULE WINAPI refused_load(LPCWSTR, HANDLE, DWORD) {
  SetLastError(refused_load_code);
  return nullptr;
}

VORBEL_SCENARIO(refused_load_in) {
  error_dialog_enabled = true;
  record_error_dialogs(L"visible");
  refused_load_code = wcstoul(__wargv[3], nullptr, 10);
  system_calls.LoadLibraryExW = refused_load;
  copy_wide(extraction_dir, PATH_CAPACITY, __wargv[2]);
  copy_wide(first_entry_path, FIRST_ENTRY_PATH_CAPACITY, (std::wstring(__wargv[2]) + L"\\app.dll").c_str());
  return start_application_dll(__argc, __wargv);
}

TEST(StartApplicationDll, ALoadThePolicyOrAnAntivirusRefusesIsExplainedOnceInTheStreamAndTheBox) {
  struct Case {
    DWORD code;
    std::string explanation_start;
    std::string advice;
  };
  const Case cases[] = {
      {1260, "Error, a policy of this machine (AppLocker or Software Restriction Policies) allows DLLs only from",
       "publisher rule for a signed application DLL."},
      {4551, "Error, this machine's code integrity policy (App Control, also called WDAC) refused a DLL in",
       "publisher rule for a signed application DLL."},
      {225, "Error, an antivirus refused a DLL in", "allow the file in the antivirus"},
  };
  ScratchDir scratch;
  for (const Case& c : cases) {
    ProcessResult result = run_scenario("refused_load_in", {}, {scratch.str(), std::to_wstring(c.code)});
    SCOPED_TRACE(c.code);
    EXPECT_EQ(result.exit_code, 2u);
    // Wine has no text for some of these codes, so the load's line is
    // matched up to it.
    const std::string load = "Error, load DLL. ([Error " + std::to_string(c.code) + "] ";
    EXPECT_EQ(result.err.rfind(load, 0), 0u) << result.err;
    size_t explained = result.err.find(c.explanation_start);
    ASSERT_NE(explained, std::string::npos) << result.err;
    EXPECT_EQ(result.err[explained - 1], '\n');
    std::string explanation = result.err.substr(explained);
    EXPECT_NE(explanation.find("'" + narrow(scratch.str()) + "'"), std::string::npos) << explanation;
    EXPECT_NE(explanation.find(c.advice), std::string::npos) << explanation;
    EXPECT_EQ(std::count(explanation.begin(), explanation.end(), '\n'), 1) << explanation;
    std::string line = explanation.substr(0, explanation.find_first_of("\r\n"));
    const std::string box_start =
        text_mode("station?\nbox(error, " + std::string(UNIT_TESTS_PRODUCT_NAME) + "): " + load);
    const std::string box_end = text_mode(")\n" + line + "|\n");
    EXPECT_EQ(result.out.rfind(box_start, 0), 0u) << result.out;
    ASSERT_GE(result.out.size(), box_end.size()) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - box_end.size()), box_end) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '|'), 1) << "one box";
  }
}

// A DLL of the payload that was unpacked and has gone since (an antivirus, a
// cleaner of temporary files): the line says so instead of calling it absent
// from the unpacked files. Only a name in the application's folder counts.
VORBEL_SCENARIO(removed_dll_in) {
  std::wstring helper_entry = __wargv[3];
  start_unpacking(payload_of({{L"app.dll", "unused"}, {helper_entry, "unused"}}), __wargv[2]);
  unpack_payload(UNPACK_FIRST_NAME_ONLY);
  return start_application_dll(__argc, __wargv);
}

// As a first start of the cached mode runs: every entry unpacked (the stream
// closed at its end), then the helper gone before the load.
VORBEL_SCENARIO(removed_after_unpack_in) {
  std::wstring directory = __wargv[2];
  start_unpacking(payload_of({{L"app.dll", read_file(VORBEL_SAMPLE_APP_DLL)}, {L"sample_helper.dll", "gone"}}),
                  directory);
  unpack_all();
  if (!DeleteFileW((directory + L"\\sample_helper.dll").c_str())) return 90;
  return start_application_dll(__argc, __wargv);
}

TEST(StartApplicationDll, AMissingDllThePayloadHeldIsSaidToBeRemovedSinceItWasUnpacked) {
  ScratchDir scratch;
  std::filesystem::copy_file(VORBEL_SAMPLE_APP_DLL, scratch.path() / L"app.dll");  // sample_helper.dll is gone
  const std::string load = "Error, load DLL. ([Error 126] " + system_message(ERROR_MOD_NOT_FOUND) + ")\n";
  ProcessResult removed = run_scenario("removed_dll_in", {}, {scratch.str(), L"SAMPLE_helper.dll"});
  EXPECT_EQ(removed.exit_code, 2u);
  EXPECT_EQ(removed.err,
            text_mode(load + "Error, 'app.dll' imports 'sample_helper.dll', which was unpacked and has been "
                             "removed since (an antivirus or a cleaner of temporary files may have taken it).\n"));
  ProcessResult elsewhere = run_scenario("removed_dll_in", {}, {scratch.str(), L"lib/sample_helper.dll"});
  EXPECT_EQ(elsewhere.exit_code, 2u);
  EXPECT_EQ(elsewhere.err, text_mode(load + "Error, 'app.dll' imports 'sample_helper.dll', which is neither among the "
                                            "unpacked files nor in the system directory.\n"));
  ProcessResult after_unpack =
      run_scenario("removed_after_unpack_in", {}, {(scratch.path() / L"onefile_1_2").wstring()});
  EXPECT_EQ(after_unpack.exit_code, 2u);
  EXPECT_EQ(after_unpack.err, removed.err);
}

}  // namespace
