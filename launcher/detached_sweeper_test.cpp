// Tests of the detached sweeper's start through the seam: how it is created
// (no handle inherited, out of the console and its group, low priority) and
// what its environment holds, and which values of its variable make a
// sweeper in a program not packed for the cached mode (one that does nothing). The sweeper at work is the
// end-to-end tests' (tests/e2e/cached_mode_e2e_test.cpp).
#include "launcher/detached_sweeper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bounded_text.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "tests/support/process_runner.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"

namespace {

struct SweeperStart {
  std::wstring application;
  std::wstring command_line;
  BOOL inherit_handles;
  DWORD flags;
  DWORD startup_flags;
  std::vector<std::wstring> environment;
};
std::vector<SweeperStart> starts;

BOOL WINAPI recording_create(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                             BOOL inherit_handles, DWORD flags, LPVOID environment, LPCWSTR, LPSTARTUPINFOW startup,
                             LPPROCESS_INFORMATION) {
  SweeperStart start = {application, command_line, inherit_handles, flags, startup->dwFlags, {}};
  for (auto entry = static_cast<const wchar_t*>(environment); entry != nullptr && *entry != L'\0';
       entry += wcslen(entry) + 1) {
    start.environment.push_back(entry);
  }
  starts.push_back(start);
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;  // not started: no error either
}

TEST(DetachedSweeper, IsStartedWithNoHandleOutOfTheConsoleAtLowPriorityAndOnlyFromABundle) {
  ScopedEnv directory(L"VORBEL_ONEFILE_DIRECTORY", L"C:\\app");
  ScopedEnv contents(L"VORBEL_ONEFILE_CONTENTS", L"C:\\cache\\app\\00112233aabbccdd.2");
  ScopedEnv argv0(L"VORBEL_ORIGINAL_ARGV0", L"app.exe");
  ScopedEnv user(L"SWEEPER_TEST_USER_VARIABLE", L"kept");
  starts.clear();
  {
    SystemCallOverride create(system_calls.CreateProcessW, recording_create);
    copy_wide(extraction_dir, PATH_CAPACITY, L"C:\\cache\\app\\00112233aabbccdd.2");
    start_detached_sweeper();
    // A working directory a start ran from is no bundle to keep by name.
    copy_wide(extraction_dir, PATH_CAPACITY, L"C:\\cache\\app\\unpacking_12_34");
    start_detached_sweeper();
  }
  copy_wide(extraction_dir, PATH_CAPACITY, L"");
  ASSERT_EQ(starts.size(), 1u);
  const SweeperStart& start = starts[0];
  EXPECT_EQ(start.inherit_handles, FALSE);
  EXPECT_EQ(start.startup_flags & STARTF_USESTDHANDLES, 0u);
  const DWORD wanted = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | BELOW_NORMAL_PRIORITY_CLASS;
  EXPECT_EQ(start.flags & wanted, wanted);
  EXPECT_EQ(start.flags & (CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | HIGH_PRIORITY_CLASS), 0u);
  EXPECT_NE(start.flags & CREATE_UNICODE_ENVIRONMENT, 0u);
  EXPECT_EQ(start.command_line, L"\"" + start.application + L"\"") << "no argument";

  std::vector<std::wstring> launcher_variables;
  bool user_kept = false;
  for (const std::wstring& entry : start.environment) {
    if (entry.rfind(L"VORBEL_O", 0) == 0) launcher_variables.push_back(entry);
    if (entry == L"SWEEPER_TEST_USER_VARIABLE=kept") user_kept = true;
  }
  EXPECT_TRUE(user_kept);
  const std::wstring value = std::to_wstring(GetCurrentProcessId()) + L":00112233aabbccdd.2";
  EXPECT_EQ(launcher_variables, std::vector<std::wstring>{L"VORBEL_ONEFILE_SWEEPER=" + value})
      << "the sweeper's own, and none of the application's";
  EXPECT_EQ(env_value(L"VORBEL_ONEFILE_SWEEPER"), std::nullopt) << "never in the start's own environment";
}

// This test program carries no settings record: not the cached mode. A
// value of the sweeper's form makes a sweeper that does nothing (never a run
// of the application), any other value no sweeper; either way it is gone.
TEST(DetachedSweeper, AVariableOfTheSweepersFormInAProgramNotPackedForTheCachedModeDoesNothing) {
  const struct {
    const wchar_t* value;
    bool sweeper;
  } cases[] = {
      {L"4:00112233aabbccdd", true},  {L"4:00112233aabbccdd.2", true},    {L"4:..\\..\\victim", false}, {L"1", false},
      {L"x:00112233aabbccdd", false}, {L"4:00112233aabbccdd\\..", false},
  };
  for (const auto& c : cases) {
    ScopedEnv sweeper(L"VORBEL_ONEFILE_SWEEPER", c.value);
    EXPECT_EQ(run_detached_sweeper(), c.sweeper) << narrow(c.value);
    EXPECT_EQ(env_value(L"VORBEL_ONEFILE_SWEEPER"), std::nullopt) << narrow(c.value);
  }
}

}  // namespace
