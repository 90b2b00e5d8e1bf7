// Tests of the shell32 entries of the system-call seam, which bind on first
// use: each answers as the directly imported call does, also when several
// threads make the first call at once.
#include "common/system_calls.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_fs.h"

namespace fs = std::filesystem;

namespace {

TEST(ShellCallBinding, EntriesAnswerAsTheImportedCallsFromAnyThread) {
  wchar_t expected_profile[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, expected_profile), S_OK);

  std::vector<std::thread> threads;
  std::vector<std::wstring> profiles(4);
  for (size_t i = 0; i < profiles.size(); ++i) {
    threads.emplace_back([&, i] {
      wchar_t profile[MAX_PATH] = {};
      if (system_calls.SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile) == S_OK) {
        profiles[i] = profile;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < profiles.size(); ++i) {
    EXPECT_EQ(profiles[i], expected_profile);
  }

  EXPECT_NE(system_calls.SHGetFolderPathW(nullptr, -1, nullptr, SHGFP_TYPE_CURRENT, expected_profile), S_OK)
      << "a failing call still fails through the entry";

  ScratchDir scratch;
  fs::path doomed = scratch.path() / L"doomed";
  write_file(doomed / L"file.txt", "x");
  std::wstring from = doomed.wstring() + L'\0';
  SHFILEOPSTRUCTW request = {};
  request.wFunc = FO_DELETE;
  request.pFrom = from.c_str();
  request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  EXPECT_EQ(system_calls.SHFileOperationW(&request), 0);
  EXPECT_FALSE(fs::exists(doomed));
}

}  // namespace
