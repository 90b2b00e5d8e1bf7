// Tests of the child's command line: quoting as the usual Windows splitting
// reads it back, argument 0 replaced, empty arguments dropped, the bound.
#include "launcher/child_launch.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <vector>

#include "common/bounded_text.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"

namespace {

std::wstring quoted(const std::wstring& argument) {
  TextCursor line = text_start(child_command_line, COMMAND_LINE_CAPACITY);
  append_argument(&line, argument.c_str());
  return child_command_line;
}

std::vector<std::wstring> split(const std::wstring& line) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> result(arguments, arguments + count);
  LocalFree(arguments);
  return result;
}

TEST(AppendArgument, QuotesAsTheWorkedExamplesShow) {
  struct Case {
    const wchar_t* argument;
    const wchar_t* appended;
  };
  const Case cases[] = {
      {L"report.txt", L"report.txt"},
      {L"C:\\data\\in.csv", L"C:\\data\\in.csv"},
      {L"two words", L"\"two words\""},
      {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
      {L"C:\\my dir\\", L"\"C:\\my dir\\\\\""},
      {L"a\\\"b", L"\"a\\\\\\\"b\""},
      {L"", L""},
      {L"tab\there", L"\"tab\there\""},
      {L"line\nfeed", L"\"line\nfeed\""},
      {L"vertical\vtab", L"\"vertical\vtab\""},
      {L"*.txt", L"*.txt"},  // wildcards are left for the child's start-up to expand
      {L"end\\\\", L"end\\\\"},
      {L"two\\\\ \\\\", L"\"two\\\\ \\\\\\\\\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted(c.argument), c.appended) << narrow(c.argument);
}

TEST(AppendArgument, EveryQuotedArgumentSplitsBackUnchanged) {
  const wchar_t* arguments[] = {
      L"a b", L"\"", L"\\\"", L"\\\\\"", L"trailing \\", L"trailing \\\\", L"x\\\\\"y z", L" ", L"\"\"",
      L"caf\u00e9 \U0001F600", L"mid\\dle \"quote\" end\\",
  };
  for (const wchar_t* argument : arguments) {
    std::vector<std::wstring> back = split(L"program " + quoted(argument));
    ASSERT_EQ(back.size(), 2u) << narrow(argument);
    EXPECT_EQ(back[1], argument);
  }
}

// The launcher's own command line comes from GetCommandLineW; a fake one
// gives it the arguments of a test.
std::wstring fake_line;

LPWSTR WINAPI fake_command_line() { return fake_line.data(); }

TEST(BuildChildCommandLine, ReplacesArgumentZeroAndDropsEmptyArguments) {
  wchar_t module[MAX_PATH];
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  fake_line = L"typed.exe \"two words\" \"\" x";
  SystemCallOverride fake(system_calls.GetCommandLineW, fake_command_line);
  build_child_command_line();
  EXPECT_EQ(std::wstring(child_command_line), quote_argument(module) + L" \"two words\"  x");
  std::vector<std::wstring> back = split(child_command_line);
  EXPECT_EQ(back, (std::vector<std::wstring>{module, L"two words", L"x"}));
}

TEST(BuildChildCommandLine, TheLongestLineThatFitsIsBuilt) {
  wchar_t module[MAX_PATH];
  DWORD module_length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  bool module_quoted = std::wstring(module).find(L' ') != std::wstring::npos;
  size_t used = module_length + (module_quoted ? 2 : 0) + 1;  // and the separating space
  fake_line = L"x " + std::wstring(COMMAND_LINE_CAPACITY - 1 - used, L'a');
  SystemCallOverride fake(system_calls.GetCommandLineW, fake_command_line);
  build_child_command_line();
  EXPECT_EQ(wcslen(child_command_line), COMMAND_LINE_CAPACITY - 1);
}

// The splitter needs no memory, so no command line Windows keeps (32767
// units at most) fails to split: the longest, of many arguments, is handed on.
TEST(BuildChildCommandLine, TheLongestCommandLineWindowsKeepsIsSplit) {
  wchar_t module[MAX_PATH];
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  fake_line = L"typed.exe";
  size_t empty_arguments = 0;
  while (fake_line.size() + 3 <= COMMAND_LINE_CAPACITY - 1) {
    fake_line += L" \"\"";
    ++empty_arguments;
  }
  fake_line.resize(COMMAND_LINE_CAPACITY - 1, L' ');
  SystemCallOverride fake(system_calls.GetCommandLineW, fake_command_line);
  build_child_command_line();
  EXPECT_EQ(std::wstring(child_command_line), quote_argument(module) + std::wstring(empty_arguments, L' '));
}

VORBEL_SCENARIO(command_line_one_unit_too_long) {
  wchar_t module[MAX_PATH];
  DWORD module_length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  bool module_quoted = std::wstring(module).find(L' ') != std::wstring::npos;
  size_t used = module_length + (module_quoted ? 2 : 0) + 1;
  fake_line = L"x " + std::wstring(COMMAND_LINE_CAPACITY - used, L'a');
  system_calls.GetCommandLineW = fake_command_line;
  build_child_command_line();
  return 0;
}

TEST(BuildChildCommandLine, ALineBeyondTheCapacityStopsTheProcess) {
  ProcessResult result = run_scenario("command_line_one_unit_too_long");
  EXPECT_EQ(result.exit_code, ABORT_STATUS);
  EXPECT_EQ(result.out, "");
}

}  // namespace

// launch_child_and_wait in a process of its own: the child is this test
// program again, given a scenario through the faked command line.

VORBEL_SCENARIO(child_reports_and_exits) {
  wchar_t directory[4096] = L"<unset>", argv0[4096] = L"<unset>";
  GetEnvironmentVariableW(L"VORBEL_ONEFILE_DIRECTORY", directory, 4096);
  GetEnvironmentVariableW(L"VORBEL_ORIGINAL_ARGV0", argv0, 4096);
  printf("directory=%s\nargv0=%s\nargc=%d\n", narrow(directory).c_str(), narrow(argv0).c_str(), __argc);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  if (startup.dwFlags & STARTF_USESHOWWINDOW) printf("show=%u\n", startup.wShowWindow);
  return static_cast<int>(wcstoul(__wargv[2], nullptr, 0));
}

void start_child_scenario(const wchar_t* exit_code) {
  fake_line = std::wstring(L"\"typed name.exe\" --scenario=child_reports_and_exits ") + exit_code;
  system_calls.GetCommandLineW = fake_command_line;
}

VORBEL_SCENARIO(launch_and_wait) {
  start_child_scenario(__wargv[2]);
  int status = launch_child_and_wait();
  printf("status=%u\n", static_cast<unsigned>(status));
  return 0;
}

BOOL WINAPI exit_code_unreadable(HANDLE, LPDWORD) {
  return FALSE;
}

VORBEL_SCENARIO(launch_exit_code_unreadable) {
  start_child_scenario(L"42");
  system_calls.GetExitCodeProcess = exit_code_unreadable;
  printf("status=%d\n", launch_child_and_wait());
  return 0;
}

BOOL WINAPI create_process_fails(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                 LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

VORBEL_SCENARIO(launch_cannot_create) {
  start_child_scenario(L"0");
  system_calls.CreateProcessW = create_process_fails;
  launch_child_and_wait();
  return 0;
}

// The system's own start of the process failing inside, a given number of
// times before the real one.
int internal_errors_left = 0;

BOOL WINAPI create_process_fails_inside(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process,
                                        LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                                        LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION created) {
  if (internal_errors_left > 0) {
    --internal_errors_left;
    printf("internal error\n");
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  return CreateProcessW(application, command_line, process, thread, inherit, flags, environment, directory, startup,
                        created);
}

VORBEL_SCENARIO(launch_fails_inside) {
  start_child_scenario(L"7");
  internal_errors_left = static_cast<int>(wcstoul(__wargv[2], nullptr, 10));
  system_calls.CreateProcessW = create_process_fails_inside;
  printf("status=%d\n", launch_child_and_wait());
  return 0;
}

BOOL WINAPI duplicate_fails(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

VORBEL_SCENARIO(launch_duplicate_fails) {
  start_child_scenario(L"0");
  system_calls.DuplicateHandle = duplicate_fails;
  launch_child_and_wait();
  return 0;
}

// Says it failed; the child is ended all the same, so that no suspended
// process holds the test's pipes open.
BOOL WINAPI terminate_refused(HANDLE process, UINT status) {
  TerminateProcess(process, status);
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

VORBEL_SCENARIO(launch_duplicate_and_terminate_fail) {
  start_child_scenario(L"0");
  system_calls.DuplicateHandle = duplicate_fails;
  system_calls.TerminateProcess = terminate_refused;
  launch_child_and_wait();
  return 0;
}

DWORD WINAPI wait_fails(HANDLE, DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

VORBEL_SCENARIO(launch_wait_fails) {
  start_child_scenario(L"0");
  system_calls.WaitForSingleObject = wait_fails;
  // Armed, so that a cleanup, if one ran, would remove this directory.
  copy_wide(extraction_dir, PATH_CAPACITY, __wargv[2]);
  cleanup_armed = TRUE;
  launch_child_and_wait();
  return 0;
}

// A child that a console event could not stop must not run: it would
// outlive the event, and the directory would go from under it.
TEST(LaunchChildAndWait, AChildTheConsoleHandlerCouldNotStopNeverRuns) {
  ProcessResult result = run_scenario("launch_duplicate_fails");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, couldn't launch child ([Error 8] " +
                                  system_message(ERROR_NOT_ENOUGH_MEMORY) + ")\n"));
  EXPECT_EQ(result.out.find("directory="), std::string::npos) << "the child ran: " << result.out;
}

TEST(LaunchChildAndWait, AChildThatMustNotRunAndCannotBeEndedIsReportedToo) {
  ProcessResult result = run_scenario("launch_duplicate_and_terminate_fail");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err,
            text_mode("Error, couldn't launch child ([Error 8] " + system_message(ERROR_NOT_ENOUGH_MEMORY) + ")\n" +
                      "Error, couldn't end the child that was never started ([Error 5] " +
                      system_message(ERROR_ACCESS_DENIED) + ")\n"));
  EXPECT_EQ(result.out.find("directory="), std::string::npos) << "the child ran: " << result.out;
}

TEST(LaunchChildAndWait, AWaitThatFailsIsReportedAndTheDirectoryStays) {
  ScratchDir scratch;
  write_file(scratch.path() / L"app.dll", "MZ");
  ProcessResult result = run_scenario("launch_wait_fails", {}, {scratch.str()});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, couldn't wait for child ([Error 6] " +
                                  system_message(ERROR_INVALID_HANDLE) + ")\n"));
  EXPECT_EQ(read_file(scratch.path() / L"app.dll"), "MZ");
}

TEST(LaunchChildAndWait, ReturnsAllThirtyTwoBitsOfTheChildsExitCode) {
  for (const wchar_t* code : {L"0", L"1", L"255", L"0x80000000", L"0xFFFFFFFF", L"0xC0000135"}) {
    ProcessResult result = run_scenario("launch_and_wait", {.env = {{L"VORBEL_ORIGINAL_ARGV0", std::nullopt}}}, {code});
    unsigned long expected = wcstoul(code, nullptr, 0);
    EXPECT_NE(result.out.find("status=" + std::to_string(expected)), std::string::npos) << result.out;
    EXPECT_EQ(result.exit_code, 0u);
  }
}

TEST(LaunchChildAndWait, TheChildSeesTheLauncherDirectoryAndTheTypedArgumentZero) {
  ProcessResult result = run_scenario("launch_and_wait", {}, {L"3"});
  std::wstring module = own_executable();
  std::string directory = narrow(module.substr(0, module.find_last_of(L'\\')));
  EXPECT_NE(result.out.find(text_mode("directory=" + directory + "\n")), std::string::npos) << result.out;
  // Argument 0 of this process as its runtime split it.
  EXPECT_NE(result.out.find(text_mode("argv0=" + narrow(module) + "\n")), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(text_mode("argc=3\n")), std::string::npos) << result.out;
}

TEST(LaunchChildAndWait, TheChildOpensItsWindowsAsTheCallerAsked) {
  for (WORD show : {SW_SHOWMINNOACTIVE, SW_SHOWMAXIMIZED, SW_HIDE}) {
    ProcessResult result = run_scenario("launch_and_wait", {.show_window = show}, {L"0"});
    EXPECT_NE(result.out.find(text_mode("show=" + std::to_string(show) + "\n")), std::string::npos) << result.out;
  }
  ProcessResult plain = run_scenario("launch_and_wait", {}, {L"0"});
  EXPECT_EQ(plain.out.find("show="), std::string::npos) << "no show state where the caller gave none: " << plain.out;
}

TEST(LaunchChildAndWait, AnUnreadableExitCodeIsOne) {
  ProcessResult result = run_scenario("launch_exit_code_unreadable");
  EXPECT_NE(result.out.find("status=1\r\n"), std::string::npos) << result.out;
}

TEST(LaunchChildAndWait, AChildThatCannotBeCreatedIsReported) {
  ProcessResult result = run_scenario("launch_cannot_create");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, couldn't launch child ([Error 5] " + system_message(ERROR_ACCESS_DENIED) + ")\n"));
}

// A start the system failed inside is made again, twice at most; a third
// such failure is reported like any other.
TEST(LaunchChildAndWait, AStartTheSystemFailedInsideIsMadeAgainABoundedNumberOfTimes) {
  ProcessResult twice = run_scenario("launch_fails_inside", {}, {L"2"});
  EXPECT_EQ(twice.exit_code, 0u) << twice.err;
  EXPECT_NE(twice.out.find("internal error\r\ninternal error\r\n"), std::string::npos) << twice.out;
  EXPECT_NE(twice.out.find("status=7\r\n"), std::string::npos) << twice.out;

  ProcessResult thrice = run_scenario("launch_fails_inside", {}, {L"3"});
  EXPECT_EQ(thrice.exit_code, 2u);
  EXPECT_EQ(thrice.out.find("status="), std::string::npos) << thrice.out;
  EXPECT_EQ(thrice.err,
            text_mode("Error, couldn't launch child ([Error 1359] " + system_message(ERROR_INTERNAL_ERROR) + ")\n"));
}
