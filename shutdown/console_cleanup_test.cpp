// Tests of the console control handler and the cleanup: which events act,
// the child's grace time, the walk that empties the directory before the
// shell's delete, bounded delete retries, and cleanups that overlap.
// The handler is driven on threads of its own, as the system would.
#include "shutdown/console_cleanup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/run_state.h"
#include "common/system_calls.h"
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

// A shell delete that only counts: whatever is gone after it, the walk removed.
int WINAPI counting_only_delete(LPSHFILEOPSTRUCTW operation) {
  ++delete_calls;
  EXPECT_EQ(operation->pFrom, extraction_dir);
  return 0;
}

void create_empty_file(const fs::path& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  CloseHandle(file);
}

// How the handler ended the process, instead of ending the test program.
std::atomic<int> process_ends{0};
std::atomic<DWORD> process_end_status{0};

void WINAPI recording_exit(UINT status) {
  ++process_ends;
  process_end_status = status;
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
    process_ends = 0;
    run_end_taken = 0;
  }
  void TearDown() override {
    cleanup_armed = FALSE;
    child_process = nullptr;
    child_ended = FALSE;
    directory_lock = nullptr;
    directory_lock_path[0] = L'\0';
    run_end_taken = 0;
  }

  ScratchDir scratch_;
  fs::path dir_;
  SystemCallOverride<int(WINAPI*)(LPSHFILEOPSTRUCTW)> count_{system_calls.SHFileOperationW, counting_delete};
  SystemCallOverride<decltype(system_calls.ExitProcess)> exit_{system_calls.ExitProcess, recording_exit};
};

// The main thread's end of a run of its own.
void end_a_run() {
  run_end_taken = 0;
  cleanup_extraction();
}

// Each call ends a run of its own.
BOOL handle_on_own_thread(DWORD event) {
  run_end_taken = 0;
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

// The shell's delete (and shell32 with it) only for what the walk left.
TEST_F(CleanupTest, ARemovableDirectoryTakesNoDeleteCall) {
  end_a_run();
  EXPECT_EQ(delete_calls, 0);
  EXPECT_FALSE(fs::exists(dir_));
  // A second run finds nothing: no call either.
  end_a_run();
  EXPECT_EQ(delete_calls, 0);
}

TEST_F(CleanupTest, ATreeOfThousandsOfFilesAndDeepDirectoriesIsGoneWithoutADeleteCall) {
  SystemCallOverride<int(WINAPI*)(LPSHFILEOPSTRUCTW)> count_only{system_calls.SHFileOperationW, counting_only_delete};
  for (int package = 0; package < 40; ++package) {
    for (int sub = 0; sub < 5; ++sub) {
      fs::path directory = dir_ / (L"pkg" + std::to_wstring(package)) / (L"sub" + std::to_wstring(sub));
      fs::create_directories(directory);
      for (int i = 0; i < 10; ++i) create_empty_file(directory / (L"f" + std::to_wstring(i) + L".txt"));
    }
  }
  // Deeper than MAX_PATH, and far deeper than any level count a recursion
  // would be comfortable with on a console-event thread's stack.
  fs::path deep = dir_;
  for (int level = 0; level < 400; ++level) deep /= L"d";
  write_file(deep / L"bottom.txt", "bottom");
  write_file(dir_ / L"empty_file", "");
  fs::create_directories(dir_ / L"empty_directory");
  end_a_run();
  EXPECT_EQ(delete_calls, 0);
  EXPECT_FALSE(fs::exists(dir_));
}

TEST_F(CleanupTest, ReadOnlyFilesAndDirectoriesGo) {
  SystemCallOverride<int(WINAPI*)(LPSHFILEOPSTRUCTW)> count_only{system_calls.SHFileOperationW, counting_only_delete};
  write_file(dir_ / L"locked" / L"inner.txt", "inner");
  for (const fs::path& path : {dir_ / L"sub" / L"file.txt", dir_ / L"locked" / L"inner.txt", dir_ / L"locked"}) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY | GetFileAttributesW(path.c_str())));
  }
  ASSERT_FALSE(DeleteFileW((dir_ / L"sub" / L"file.txt").c_str())) << "read-only files resist a plain delete";
  end_a_run();
  EXPECT_EQ(delete_calls, 0);
  EXPECT_FALSE(fs::exists(dir_));
}

TEST_F(CleanupTest, AFileHeldOpenMeansTwentyOneCallsThenASilentReturn) {
  write_file(dir_ / L"other.txt", "other");
  write_file(dir_ / L"sub" / L"beside.txt", "beside");
  write_file(dir_ / L"gone" / L"deeper" / L"file.txt", "gone");
  HANDLE held = CreateFileW((dir_ / L"sub" / L"file.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  DWORD started = GetTickCount();
  end_a_run();
  DWORD elapsed = GetTickCount() - started;
  CloseHandle(held);
  EXPECT_EQ(delete_calls, 1 + DELETE_RETRIES);
  EXPECT_GE(elapsed, DELETE_RETRIES * DELETE_PAUSE_MS - 100) << "twenty pauses of 100 ms";
  // Only what is held stays, with the directories above it.
  std::vector<fs::path> left;
  for (const auto& entry : fs::recursive_directory_iterator(dir_)) left.push_back(entry.path());
  EXPECT_EQ(left, (std::vector<fs::path>{dir_ / L"sub", dir_ / L"sub" / L"file.txt"}));
}

// The walk's and the lock's removals, in order.
std::vector<std::wstring> removals;

BOOL WINAPI recording_delete_file(LPCWSTR path) {
  removals.push_back(L"delete " + std::wstring(path));
  return DeleteFileW(path);
}

BOOL WINAPI recording_remove_directory(LPCWSTR path) {
  removals.push_back(L"remove " + std::wstring(path));
  return RemoveDirectoryW(path);
}

HANDLE hold_lock(const fs::path& lock) {
  HANDLE held = CreateFileW(lock.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  EXPECT_NE(held, INVALID_HANDLE_VALUE);
  wcscpy(directory_lock_path, lock.c_str());
  return held;
}

TEST_F(CleanupTest, TheLockGoesLastAndStaysForALaterRunWhenSomethingOutlivesTheRun) {
  const fs::path lock = dir_ / L"vorbel.lck";
  directory_lock = hold_lock(lock);
  {
    SystemCallOverride<decltype(system_calls.DeleteFileW)> file{system_calls.DeleteFileW, recording_delete_file};
    SystemCallOverride<decltype(system_calls.RemoveDirectoryW)> directory{system_calls.RemoveDirectoryW,
                                                                          recording_remove_directory};
    removals.clear();
    end_a_run();
  }
  EXPECT_EQ(delete_calls, 0) << "the walk alone emptied the directory";
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_EQ(directory_lock, nullptr);
  ASSERT_GE(removals.size(), 2u);
  EXPECT_EQ(removals[removals.size() - 2], L"delete " + lock.wstring());
  EXPECT_EQ(removals.back(), L"remove " + dir_.wstring());
  EXPECT_EQ(
      std::count_if(removals.begin(), removals.end(),
                    [&](const std::wstring& removal) { return removal.find(L"vorbel.lck") != std::wstring::npos; }),
      1)
      << "the walk passed over the lock";

  // A file held by a process that outlives the run: the directory stays with
  // the lock in it, and nobody holds the lock.
  write_file(dir_ / L"held.txt", "held");
  directory_lock = hold_lock(lock);
  HANDLE held =
      CreateFileW((dir_ / L"held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  end_a_run();
  CloseHandle(held);
  EXPECT_EQ(delete_calls, 1 + DELETE_RETRIES);
  HANDLE free_lock = CreateFileW(lock.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(free_lock, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(free_lock);
  EXPECT_TRUE(fs::exists(dir_ / L"held.txt"));
}

int WINAPI missing_shell_delete(LPSHFILEOPSTRUCTW) {
  ++delete_calls;
  return SHELL_DELETE_UNAVAILABLE;
}

// When shell32 cannot be bound the walk still empties the directory, and a
// held file costs no pauses for attempts that cannot happen.
TEST_F(CleanupTest, WithoutTheShellDeleteTheWalkIsAllAndNothingIsRetried) {
  SystemCallOverride<int(WINAPI*)(LPSHFILEOPSTRUCTW)> missing{system_calls.SHFileOperationW, missing_shell_delete};
  end_a_run();
  EXPECT_EQ(delete_calls, 0);
  EXPECT_FALSE(fs::exists(dir_));

  write_file(dir_ / L"held.txt", "held");
  write_file(dir_ / L"other.txt", "other");
  HANDLE held =
      CreateFileW((dir_ / L"held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  end_a_run();
  CloseHandle(held);
  EXPECT_EQ(delete_calls, 1);
  EXPECT_TRUE(fs::exists(dir_ / L"held.txt"));
  EXPECT_FALSE(fs::exists(dir_ / L"other.txt"));
}

// What the reparse-point test sees of the walk.
std::vector<std::wstring> listed_patterns;
std::wstring link_target;

bool names_link(const std::wstring& path) {
  return path.size() >= 5 && path.compare(path.size() - 5, 5, L"\\link") == 0;
}

void mark_link(LPVOID found) {
  auto* data = static_cast<WIN32_FIND_DATAW*>(found);
  if (wcscmp(data->cFileName, L"link") == 0) data->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
}

HANDLE WINAPI listing_with_link(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found, FINDEX_SEARCH_OPS search,
                                LPVOID filter, DWORD flags) {
  listed_patterns.push_back(pattern);
  HANDLE handle = FindFirstFileExW(pattern, level, found, search, filter, flags);
  if (handle != INVALID_HANDLE_VALUE) mark_link(found);
  return handle;
}

BOOL WINAPI next_with_link(HANDLE search, LPWIN32_FIND_DATAW found) {
  BOOL listed = FindNextFileW(search, found);
  if (listed) mark_link(found);
  return listed;
}

// Removing a link leaves its target whole: here the directory moves out of
// the tree with its contents.
BOOL WINAPI remove_link_as_itself(LPCWSTR path) {
  if (names_link(path)) return MoveFileW(path, link_target.c_str());
  return RemoveDirectoryW(path);
}

BOOL WINAPI delete_anything_but_the_link(LPCWSTR path) {
  EXPECT_FALSE(names_link(path)) << "a directory link is removed as a directory";
  return DeleteFileW(path);
}

// Wine takes a host symbolic link inside a Windows directory for its target
// in every removal call (the shell's delete, DeleteFileW, RemoveDirectoryW, a
// handle opened with FILE_FLAG_OPEN_REPARSE_POINT marked for deletion): each
// one removes the target's contents. So the rule is shown through the seam:
// the listing reports a plain directory as a reparse point, and its removal
// stands for the link's own.
TEST_F(CleanupTest, AReparsePointIsRemovedAsItselfAndNeverEntered) {
  SystemCallOverride<int(WINAPI*)(LPSHFILEOPSTRUCTW)> count_only{system_calls.SHFileOperationW, counting_only_delete};
  SystemCallOverride<decltype(system_calls.FindFirstFileExW)> first{system_calls.FindFirstFileExW, listing_with_link};
  SystemCallOverride<decltype(system_calls.FindNextFileW)> next{system_calls.FindNextFileW, next_with_link};
  SystemCallOverride<decltype(system_calls.RemoveDirectoryW)> remove{system_calls.RemoveDirectoryW,
                                                                     remove_link_as_itself};
  SystemCallOverride<decltype(system_calls.DeleteFileW)> remove_file{system_calls.DeleteFileW,
                                                                     delete_anything_but_the_link};
  write_file(dir_ / L"link" / L"outside.txt", "not ours");
  write_file(dir_ / L"link" / L"nested" / L"outside.txt", "not ours either");
  listed_patterns.clear();
  link_target = (scratch_.path() / L"target").wstring();
  end_a_run();
  EXPECT_EQ(delete_calls, 0);
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_EQ(read_file(scratch_.path() / L"target" / L"outside.txt"), "not ours");
  EXPECT_EQ(read_file(scratch_.path() / L"target" / L"nested" / L"outside.txt"), "not ours either");
  EXPECT_EQ(listed_patterns, (std::vector<std::wstring>{dir_.wstring() + L"\\*", (dir_ / L"sub").wstring() + L"\\*"}));
}

// A link put in place of the extraction directory leads to somebody's own
// files: the walk would empty them and so would the shell's delete (both
// under Wine, which follows a host link in every removal). Each way a link
// shows, by path or on a handle, stops the removal before either.
TEST_F(CleanupTest, ALinkInTheDirectorysPlaceIsNeitherListedNorHandedToTheShell) {
  SystemCallOverride<decltype(system_calls.FindFirstFileExW)> first{system_calls.FindFirstFileExW, listing_with_link};
  marked_link_path = dir_.wstring();
  for (int side = 0; side < 2; ++side) {
    SystemCallOverride<decltype(system_calls.GetFileAttributesW)> by_path{
        system_calls.GetFileAttributesW, side == 0 ? attributes_marking_link : GetFileAttributesW};
    SystemCallOverride<decltype(system_calls.GetFileInformationByHandleEx)> on_handle{
        system_calls.GetFileInformationByHandleEx,
        side == 1 ? handle_information_marking_link : GetFileInformationByHandleEx};
    listed_patterns.clear();
    end_a_run();
    EXPECT_TRUE(listed_patterns.empty()) << side;
    EXPECT_EQ(delete_calls, 0) << side;
    EXPECT_EQ(read_file(dir_ / L"sub" / L"file.txt"), "contents") << side;
  }
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

std::vector<DWORD> child_waits;

DWORD WINAPI grace_runs_out(HANDLE, DWORD milliseconds) {
  child_waits.push_back(milliseconds);
  return WAIT_TIMEOUT;
}

// A child ended by the launcher must not read as a success: it ends, and so
// does the launcher, as Ctrl+C ends a console program. The grace is waited
// through the seam, not for real.
TEST_F(CleanupTest, AChildStillRunningAfterTheGraceTimeIsEndedAsCtrlCEndsAProgram) {
  SystemCallOverride<decltype(system_calls.WaitForSingleObject)> wait{system_calls.WaitForSingleObject, grace_runs_out};
  Child child;
  child_process = child.shared;
  child_waits.clear();
  EXPECT_FALSE(handle_on_own_thread(CTRL_C_EVENT));
  EXPECT_EQ(child_waits, std::vector<DWORD>{CHILD_GRACE_MS});
  EXPECT_EQ(WaitForSingleObject(child.process.handle(), 1000), WAIT_OBJECT_0);
  EXPECT_EQ(child.exit_code(), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  EXPECT_EQ(process_ends, 1);
  EXPECT_EQ(process_end_status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  EXPECT_EQ(child_process, nullptr);
  EXPECT_FALSE(fs::exists(dir_));
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(child.shared, &flags)) << "the cleanup closed its handle";
}

// Closing the console window leaves the process 5 s in all: the child gets
// less, so that the removal still fits.
static_assert(SYSTEM_END_CHILD_GRACE_MS + 2000 <= 5000, "room for the removal within the system's 5 s");
TEST_F(CleanupTest, EachEventGivesTheChildItsGraceThenEndsItAndThisProcessAlike) {
  SystemCallOverride<decltype(system_calls.WaitForSingleObject)> wait{system_calls.WaitForSingleObject, grace_runs_out};
  const struct {
    DWORD event;
    DWORD grace;
  } cases[] = {
      {CTRL_C_EVENT, 5000},      {CTRL_BREAK_EVENT, 5000},    {CTRL_CLOSE_EVENT, 2000},
      {CTRL_LOGOFF_EVENT, 2000}, {CTRL_SHUTDOWN_EVENT, 2000},
  };
  for (const auto& test : cases) {
    write_file(dir_ / L"file.txt", "again");
    Child child;
    child_process = child.shared;
    child_waits.clear();
    process_ends = 0;
    EXPECT_FALSE(handle_on_own_thread(test.event));
    EXPECT_EQ(child_waits, std::vector<DWORD>{test.grace}) << test.event;
    EXPECT_EQ(WaitForSingleObject(child.process.handle(), 1000), WAIT_OBJECT_0) << test.event;
    EXPECT_EQ(child.exit_code(), static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) << test.event;
    EXPECT_EQ(process_ends, 1) << test.event;
    EXPECT_EQ(process_end_status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) << test.event;
    EXPECT_FALSE(fs::exists(dir_)) << test.event;
  }
}

VORBEL_SCENARIO(cleanup_child_ends_with_status) { return 0x1234567; }

// A child that ends at once with 0x1234567, handed to the cleanup as the
// launcher hands it: a handle of the cleanup's own.
struct EndingChild {
  EndingChild()
      : process(own_executable(), quote_argument(own_executable()) + L" --scenario=cleanup_child_ends_with_status") {
    HANDLE shared = nullptr;
    EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), process.handle(), GetCurrentProcess(), &shared, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    child_process = shared;
  }
  RunningProcess process;
};

TEST_F(CleanupTest, AChildThatEndsWithinTheGraceKeepsItsOwnStatus) {
  EndingChild child;
  EXPECT_FALSE(handle_on_own_thread(CTRL_C_EVENT));
  EXPECT_EQ(process_ends, 1);
  EXPECT_EQ(process_end_status, 0x1234567u);
  EXPECT_FALSE(fs::exists(dir_));
}

// The child ended on the same Ctrl+C with a status of its own, and the main
// thread, woken first, has taken its handle: the event's thread still ends
// the run with that status, never with the system's default handling's.
TEST_F(CleanupTest, AnEventAfterTheMainThreadTookTheEndedChildEndsWithTheChildsStatus) {
  note_child_end(7);
  child_process = nullptr;
  EXPECT_FALSE(handle_on_own_thread(CTRL_C_EVENT));
  EXPECT_EQ(process_ends, 1);
  EXPECT_EQ(process_end_status, 7u);
  EXPECT_FALSE(fs::exists(dir_));
}

// A thread that finds the end of the run taken waits on this process, which
// the owner ends; here the wait is counted and returns at once. Other waits
// (the child's grace) are real.
std::atomic<int> waits_for_the_end{0};

DWORD WINAPI counted_end_wait(HANDLE object, DWORD milliseconds) {
  if (object != GetCurrentProcess()) return WaitForSingleObject(object, milliseconds);
  EXPECT_EQ(milliseconds, INFINITE);
  ++waits_for_the_end;
  return WAIT_OBJECT_0;
}

// Listings of the extraction directory itself: one per removal that ran.
std::atomic<int> removal_walks{0};
std::wstring walked_pattern;

HANDLE WINAPI counting_listing(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found, FINDEX_SEARCH_OPS search,
                               LPVOID filter, DWORD flags) {
  if (walked_pattern == pattern) ++removal_walks;
  return FindFirstFileExW(pattern, level, found, search, filter, flags);
}

class OneEndTest : public CleanupTest {
 protected:
  void SetUp() override {
    CleanupTest::SetUp();
    waits_for_the_end = 0;
    removal_walks = 0;
    walked_pattern = dir_.wstring() + L"\\*";
  }
  SystemCallOverride<decltype(system_calls.WaitForSingleObject)> wait_{system_calls.WaitForSingleObject,
                                                                       counted_end_wait};
  SystemCallOverride<decltype(system_calls.FindFirstFileExW)> list_{system_calls.FindFirstFileExW, counting_listing};
};

TEST_F(OneEndTest, OverlappingEventsCloseTheChildOnceAndOneOfThemEndsTheRun) {
  Child child;
  child_process = child.shared;
  std::thread first(console_ctrl_handler, CTRL_C_EVENT);
  std::thread second(console_ctrl_handler, CTRL_BREAK_EVENT);
  first.join();
  second.join();
  EXPECT_EQ(WaitForSingleObject(child.process.handle(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(process_ends, 1) << "only the handler that took the end ends the process";
  EXPECT_EQ(process_end_status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  EXPECT_EQ(waits_for_the_end, 1) << "the other waits for that end";
  EXPECT_EQ(removal_walks, 1);
  EXPECT_EQ(child_process, nullptr);
  EXPECT_FALSE(fs::exists(dir_));
}

TEST_F(OneEndTest, TwoCleanupsAtOnceRemoveOnceAndTheOtherWaits) {
  for (int package = 0; package < 12; ++package) {
    fs::path directory = dir_ / (L"pkg" + std::to_wstring(package));
    fs::create_directories(directory);
    for (int i = 0; i < 50; ++i) create_empty_file(directory / (L"f" + std::to_wstring(i)));
  }
  std::thread first(cleanup_extraction);
  std::thread second(cleanup_extraction);
  first.join();
  second.join();
  EXPECT_EQ(removal_walks, 1);
  EXPECT_EQ(waits_for_the_end, 1);
  EXPECT_EQ(delete_calls, 0) << "nothing was left for the shell";
  EXPECT_FALSE(fs::exists(dir_));
}

// The child ends on Ctrl+C with a status of its own: the main thread, woken
// by its end, and the event's thread reach the end of the run together.
// Whichever takes it removes the directory, and the process ends once: by
// the handler with the child's status, or by the main thread's return with
// it; the other waits. Repeated for the interleavings.
TEST_F(OneEndTest, TheMainThreadAndAnEventThreadEndTheRunOnceWithTheChildsStatus) {
  for (int round = 0; round < 12; ++round) {
    write_file(dir_ / L"sub" / L"file.txt", "contents");
    run_end_taken = 0;
    child_ended = FALSE;
    process_ends = 0;
    waits_for_the_end = 0;
    removal_walks = 0;
    EndingChild child;
    // As launch_child_and_wait ends.
    std::thread main_thread([&] {
      WaitForSingleObject(child.process.handle(), INFINITE);
      DWORD status = 1;
      GetExitCodeProcess(child.process.handle(), &status);
      note_child_end(status);
      HANDLE unclaimed = InterlockedExchangePointer(const_cast<HANDLE*>(&child_process), nullptr);
      if (unclaimed != nullptr) CloseHandle(unclaimed);
      cleanup_extraction();
    });
    std::thread event_thread([] { console_ctrl_handler(CTRL_C_EVENT); });
    main_thread.join();
    event_thread.join();
    EXPECT_EQ(removal_walks, 1) << round;
    EXPECT_EQ(waits_for_the_end, 1) << round;
    EXPECT_LE(process_ends, 1) << round;
    if (process_ends == 1) {
      EXPECT_EQ(process_end_status, 0x1234567u) << round;
    }
    EXPECT_EQ(delete_calls, 0) << round;
    EXPECT_FALSE(fs::exists(dir_)) << round;
  }
}

}  // namespace
