// Tests of the console control handler and the cleanup: which events act,
// the child's grace time, bounded delete retries, and cleanups that overlap.
// The handler is driven on threads of its own, as the system would.
#include "shutdown/console_cleanup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "common/run_state.h"
#include "common/system_calls.h"
#include "paths/path_spec.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"

namespace fs = std::filesystem;

namespace {

std::atomic<int> delete_calls{0};

int WINAPI counting_delete(LPSHFILEOPSTRUCTW operation) {
  ++delete_calls;
  EXPECT_EQ(operation->wFunc, static_cast<UINT>(FO_DELETE));
  EXPECT_EQ(operation->fFlags, FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI);
  EXPECT_EQ(operation->pFrom, extraction_dir);
  EXPECT_EQ(operation->pFrom[wcslen(operation->pFrom) + 1], L'\0') << "double-NUL source list";
  return SHFileOperationW(operation);
}

// Arms the cleanup for a directory with a file in it.
class CleanupTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path() / L"onefile_1_2";
    write_file(dir_ / L"sub" / L"file.txt", "contents");
    wmemset(extraction_dir, L'\0', PATH_CAPACITY + 1);
    wcsncpy(extraction_dir, dir_.c_str(), PATH_CAPACITY - 1);
    cleanup_armed = TRUE;
    child_process = nullptr;
    delete_calls = 0;
  }
  void TearDown() override {
    cleanup_armed = FALSE;
    child_process = nullptr;
  }

  ScratchDir scratch_;
  fs::path dir_;
  SystemCallOverride<int(WINAPI*)(LPSHFILEOPSTRUCTW)> count_{system_calls.SHFileOperationW, counting_delete};
};

BOOL handle_on_own_thread(DWORD event) {
  BOOL result = TRUE;
  std::thread([&] { result = console_ctrl_handler(event); }).join();
  return result;
}

TEST_F(CleanupTest, OnlyStopAndEndEventsAct) {
  for (DWORD event : {3u, 4u, 7u, 100u}) {
    EXPECT_FALSE(handle_on_own_thread(event));
    EXPECT_EQ(delete_calls, 0) << event;
    EXPECT_TRUE(fs::exists(dir_));
  }
  for (DWORD event : {0u, 1u, 2u, 5u, 6u}) {
    write_file(dir_ / L"file.txt", "again");
    EXPECT_FALSE(handle_on_own_thread(event));
    EXPECT_FALSE(fs::exists(dir_)) << event;
  }
}

TEST_F(CleanupTest, AnEventBeforeArmingDeletesNothing) {
  cleanup_armed = FALSE;
  EXPECT_FALSE(handle_on_own_thread(CTRL_C_EVENT));
  EXPECT_EQ(delete_calls, 0);
  EXPECT_TRUE(fs::exists(dir_ / L"sub" / L"file.txt"));
}

TEST_F(CleanupTest, ARemovableDirectoryTakesOneDeleteCall) {
  cleanup_extraction();
  EXPECT_EQ(delete_calls, 1);
  EXPECT_FALSE(fs::exists(dir_));
  // A second run finds nothing: one call, then the test ends it.
  cleanup_extraction();
  EXPECT_EQ(delete_calls, 2);
}

TEST_F(CleanupTest, AFileHeldOpenMeansTwentyOneCallsThenASilentReturn) {
  HANDLE held = CreateFileW((dir_ / L"sub" / L"file.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  DWORD started = GetTickCount();
  cleanup_extraction();
  DWORD elapsed = GetTickCount() - started;
  CloseHandle(held);
  EXPECT_EQ(delete_calls, 1 + DELETE_RETRIES);
  EXPECT_GE(elapsed, DELETE_RETRIES * DELETE_PAUSE_MS - 100) << "twenty pauses of 100 ms";
  EXPECT_TRUE(fs::exists(dir_));
}

VORBEL_SCENARIO(cleanup_child_sleeps) {
  Sleep(60000);
  return 0;
}

struct Child {
  Child() : process(own_executable(), quote_argument(own_executable()) + L" --scenario=cleanup_child_sleeps") {
    DuplicateHandle(GetCurrentProcess(), process.handle(), GetCurrentProcess(), &shared, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  }
  DWORD exit_code() const {
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.handle(), &code);
    return code;
  }
  RunningProcess process;
  HANDLE shared = nullptr;  // the handle the cleanup owns and closes
};

TEST_F(CleanupTest, AChildStillRunningAfterTheGraceTimeIsTerminated) {
  Child child;
  child_process = child.shared;
  DWORD started = GetTickCount();
  EXPECT_FALSE(handle_on_own_thread(CTRL_CLOSE_EVENT));
  DWORD elapsed = GetTickCount() - started;
  EXPECT_GE(elapsed, CHILD_GRACE_MS - 100);
  EXPECT_EQ(WaitForSingleObject(child.process.handle(), 1000), WAIT_OBJECT_0);
  EXPECT_EQ(child.exit_code(), 0u);
  EXPECT_EQ(child_process, nullptr);
  EXPECT_FALSE(fs::exists(dir_));
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(child.shared, &flags)) << "the cleanup closed its handle";
}

TEST_F(CleanupTest, OverlappingCleanupsCloseTheChildOnceAndBothReturn) {
  Child child;
  child_process = child.shared;
  std::thread first(console_ctrl_handler, CTRL_C_EVENT);
  std::thread second(console_ctrl_handler, CTRL_BREAK_EVENT);
  first.join();
  second.join();
  EXPECT_EQ(WaitForSingleObject(child.process.handle(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(child_process, nullptr);
  EXPECT_FALSE(fs::exists(dir_));
}

TEST(ExtractionDir, TheLongestPathTheExpansionAcceptsLeavesRoomForTheSecondNul) {
  std::wstring longest(PATH_CAPACITY - 1, L'a');
  wmemset(extraction_dir, L'#', PATH_CAPACITY + 1);
  ASSERT_TRUE(expand_path_spec(extraction_dir, longest.c_str(), PATH_CAPACITY));
  EXPECT_EQ(extraction_dir[PATH_CAPACITY - 1], L'\0');
  // The expansion never writes the unit beyond its capacity: in the static,
  // zero-filled buffer it stays the second NUL of the delete request's list.
  EXPECT_EQ(extraction_dir[PATH_CAPACITY], L'#');
  wmemset(extraction_dir, L'\0', PATH_CAPACITY + 1);
}

}  // namespace
