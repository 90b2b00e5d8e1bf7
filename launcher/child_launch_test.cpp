// Tests of the child's command line: quoting as the usual Windows splitting
// reads it back, argument 0 replaced, empty arguments dropped, the bound.
#include "launcher/child_launch.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "common/system_calls.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"

namespace {

std::wstring quoted(const std::wstring& argument) {
  child_command_line[0] = L'\0';
  append_argument(argument.c_str());
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

// The launcher's own command line comes from CommandLineToArgvW; a fake one
// gives it the arguments of a test.
std::vector<std::wstring> fake_arguments;
std::vector<wchar_t*> fake_pointers;

LPWSTR* WINAPI fake_split(LPCWSTR, int* count) {
  fake_pointers.clear();
  for (auto& argument : fake_arguments) fake_pointers.push_back(argument.data());
  *count = static_cast<int>(fake_pointers.size());
  return fake_pointers.data();
}

TEST(BuildChildCommandLine, ReplacesArgumentZeroAndDropsEmptyArguments) {
  wchar_t module[MAX_PATH];
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  fake_arguments = {L"typed.exe", L"two words", L"", L"x"};
  SystemCallOverride fake(system_calls.CommandLineToArgvW, fake_split);
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
  fake_arguments = {L"x", std::wstring(COMMAND_LINE_CAPACITY - 1 - used, L'a')};
  SystemCallOverride fake(system_calls.CommandLineToArgvW, fake_split);
  build_child_command_line();
  EXPECT_EQ(wcslen(child_command_line), COMMAND_LINE_CAPACITY - 1);
}

VORBEL_SCENARIO(command_line_one_unit_too_long) {
  wchar_t module[MAX_PATH];
  DWORD module_length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  bool module_quoted = std::wstring(module).find(L' ') != std::wstring::npos;
  size_t used = module_length + (module_quoted ? 2 : 0) + 1;
  fake_arguments = {L"x", std::wstring(COMMAND_LINE_CAPACITY - used, L'a')};
  system_calls.CommandLineToArgvW = fake_split;
  build_child_command_line();
  return 0;
}

LPWSTR* WINAPI split_fails(LPCWSTR, int*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

VORBEL_SCENARIO(command_line_split_fails) {
  system_calls.CommandLineToArgvW = split_fails;
  build_child_command_line();
  return 0;
}

TEST(BuildChildCommandLine, ALineBeyondTheCapacityStopsTheProcess) {
  ProcessResult result = run_scenario("command_line_one_unit_too_long");
  EXPECT_EQ(result.exit_code, ABORT_STATUS);
  EXPECT_EQ(result.out, "");
}

TEST(BuildChildCommandLine, ACommandLineThatCannotBeSplitIsReported) {
  ProcessResult result = run_scenario("command_line_split_fails");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, couldn't split the command line for the child ([Error 8] " +
                                  system_message(ERROR_NOT_ENOUGH_MEMORY) + ")\n"));
}

}  // namespace
