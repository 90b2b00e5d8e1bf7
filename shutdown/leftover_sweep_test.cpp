// Tests of the sweep of earlier runs' leftovers: which siblings it takes on
// (form, owner, links, process, lock, age) on directories made directly, and
// that it stops in time once the application has ended, or at once when the
// cached mode's end cuts it short. Whole runs are the
// end-to-end tests' (tests/e2e/leftovers_e2e_test.cpp).
#include "shutdown/leftover_sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/bounded_text.h"
#include "common/launcher_names.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t DAY = 24ull * 3600 * 10000000;

uint64_t now_stamp() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

FILETIME filetime_of(uint64_t stamp) { return {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)}; }

// An id no process has: ids stay far below it.
const std::wstring NOBODY = L"4000000000";

const SweepForm FORM = {as_wide(EXTRACTION_DIR_SPEC), as_wide(DIRECTORY_LOCK_NAME)};

// A TEMP of its own holding this run's extraction directory and whatever a
// test puts beside it.
struct SweepTemp {
  SweepTemp() {
    own = temp / (L"onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(now_stamp()));
    write_file(own / L"app.dll", "ours");
    copy_wide(extraction_dir, PATH_CAPACITY, own.c_str());
  }
  ~SweepTemp() { copy_wide(extraction_dir, PATH_CAPACITY, L""); }

  // A leftover as a killed run leaves it: files in a subdirectory, and the
  // lock (nobody holding it) unless told otherwise.
  fs::path leftover(const std::wstring& name, bool lock = true) const {
    fs::path dir = temp / name;
    write_file(dir / L"lib" / L"app.dll", "theirs");
    if (lock) write_file(dir / as_wide(DIRECTORY_LOCK_NAME), "");
    return dir;
  }

  std::vector<std::wstring> names() const {
    std::vector<std::wstring> found;
    for (const auto& entry : fs::directory_iterator(temp)) found.push_back(entry.path().filename().wstring());
    std::sort(found.begin(), found.end());
    return found;
  }

  ScratchDir scratch;
  fs::path temp = scratch.path() / L"tmp";
  fs::path own;
};

// The last-write (and creation) time of a directory set back.
void age_directory(const fs::path& dir, uint64_t stamp) {
  HANDLE handle = CreateFileW(dir.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  FILETIME time = filetime_of(stamp);
  EXPECT_TRUE(SetFileTime(handle, &time, &time, &time));
  CloseHandle(handle);
}

uint64_t process_start() {
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

TEST(LeftoverSweep, TakesOnlyDirectoriesOfItsFormThatNoProcessUses) {
  SweepTemp temp;
  const uint64_t now = now_stamp();
  const std::wstring me = std::to_wstring(GetCurrentProcessId());
  const std::wstring long_ago = std::to_wstring(now - 30 * DAY);
  const struct {
    std::wstring name;
    bool lock;
    bool removed;
    const char* why;
  } cases[] = {
      {L"onefile_" + NOBODY + L"_1000", true, true, "a killed run's, lock free"},
      {L"onefile_" + me + L"_1000", true, true, "its id now another process's, started after it"},
      {L"onefile_" + me + L"_" + std::to_wstring(now - 1), true, false, "its process may still run"},
      {L"onefile_" + NOBODY + L"_" + std::to_wstring(now + DAY), true, false, "stamped in the future"},
      {L"onefile_0_" + std::to_wstring(now + DAY), true, false, "process id 0, which the launcher never writes"},
      {L"onefile_000_" + std::to_wstring(now + DAY), true, false, "an id with leading zeros"},
      {L"onefile_0" + NOBODY + L"_1008", true, false, "an id with leading zeros"},
      {L"onefile_" + NOBODY + L"_00001001", true, true, "an inherited stamp keeps its zeros"},
      {L"onefile_" + NOBODY + L"_1002", false, false, "no lock, and young by its own times"},
      {L"onefile_" + NOBODY, true, false, "another form"},
      {L"onefile_" + NOBODY + L"_1003_x", true, false, "another form"},
      {L"onefile__1004", true, false, "another form"},
      {L"onefile_x_1005", true, false, "another form"},
      {L"Onefile_" + NOBODY + L"_1006", true, false, "another form, by letter case"},
      {L"onefile_4294967296_1007", true, false, "an id past 32 bits"},
      {L"onefile_" + NOBODY + L"_18446744073709551616", true, false, "a stamp past 64 bits"},
  };
  for (const auto& c : cases) temp.leftover(c.name, c.lock);
  // Without a lock: empty goes at any age, full only when old by every time.
  fs::create_directories(temp.temp / (L"onefile_" + NOBODY + L"_1100"));
  age_directory(temp.leftover(L"onefile_" + NOBODY + L"_1101", false), now - 8 * DAY);
  age_directory(temp.leftover(L"onefile_" + NOBODY + L"_" + std::to_wstring(now - DAY), false), now - 8 * DAY);
  age_directory(temp.leftover(L"onefile_" + NOBODY + L"_" + long_ago, false), now - 6 * DAY);
  write_file(temp.temp / (L"onefile_" + NOBODY + L"_1102"), "a file, not a directory");
  // One this test holds, as a running application's launcher would, for
  // longer than a directory without a lock is kept.
  fs::path held = temp.leftover(L"onefile_" + NOBODY + L"_1103");
  age_directory(held, now - 8 * DAY);
  HANDLE lock = CreateFileW((held / as_wide(DIRECTORY_LOCK_NAME)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  ASSERT_LT(process_start(), now) << "the process check above needs this process started before the test";

  std::vector<std::wstring> expected = {temp.own.filename().wstring(), held.filename().wstring(),
                                        L"onefile_" + NOBODY + L"_" + std::to_wstring(now - DAY),
                                        L"onefile_" + NOBODY + L"_" + long_ago, L"onefile_" + NOBODY + L"_1102"};
  int removed = 0;
  for (const auto& c : cases) {
    if (c.removed) {
      ++removed;
    } else {
      expected.push_back(c.name);
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sweep_leftovers(&FORM), removed + 2);
  EXPECT_EQ(temp.names(), expected);
  EXPECT_EQ(read_file(temp.own / L"app.dll"), "ours");
  CloseHandle(lock);
  for (const auto& c : cases) {
    if (!c.removed) {
      EXPECT_EQ(read_file(temp.temp / c.name / L"lib" / L"app.dll"), "theirs") << c.why;
    }
  }
}

TEST(LeftoverSweep, AnotherUsersDirectoryOrALinkIsLeftAsItIs) {
  SweepTemp temp;
  fs::path dir = temp.leftover(L"onefile_" + NOBODY + L"_1000");
  {
    SystemCallOverride foreign(system_calls.GetSecurityInfo, owned_by_everyone);
    EXPECT_EQ(sweep_leftovers(&FORM), 0);
  }
  // A link shows by path under Wine, on the handle under Windows: both are
  // shown here on a plain directory through the seam.
  marked_link_path = dir.wstring();
  {
    SystemCallOverride by_path(system_calls.GetFileAttributesW, attributes_marking_link);
    EXPECT_EQ(sweep_leftovers(&FORM), 0);
  }
  {
    SystemCallOverride on_handle(system_calls.GetFileInformationByHandleEx, handle_information_marking_link);
    EXPECT_EQ(sweep_leftovers(&FORM), 0);
  }
  marked_link_path.clear();
  EXPECT_EQ(read_file(dir / L"lib" / L"app.dll"), "theirs");
  EXPECT_TRUE(fs::exists(dir / as_wide(DIRECTORY_LOCK_NAME)));
  EXPECT_EQ(sweep_leftovers(&FORM), 1) << "the same directory, as itself and the user's, goes";
  EXPECT_FALSE(fs::exists(dir));
}

// A leftover holding a file that a process still has open: the lock stays
// with what is left, so that a later run finishes once the holder is gone.
TEST(LeftoverSweep, ALeftoverWithAHeldFileKeepsItsLockUntilTheHolderIsGone) {
  SweepTemp temp;
  fs::path dir = temp.leftover(L"onefile_" + NOBODY + L"_1000");
  write_file(dir / L"other.txt", "other");
  HANDLE held = CreateFileW((dir / L"lib" / L"app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sweep_leftovers(&FORM), 1);
  EXPECT_FALSE(fs::exists(dir / L"other.txt"));
  EXPECT_TRUE(fs::exists(dir / as_wide(DIRECTORY_LOCK_NAME)));
  CloseHandle(held);
  EXPECT_EQ(sweep_leftovers(&FORM), 1);
  EXPECT_FALSE(fs::exists(dir));
}

// The cached mode's application folder: bundles that no process uses beside
// this run's own. The two used last within the age bound stay, whatever
// order the listing gives them in; a third, one used too long ago, and one
// whose record a failed load removed go.
TEST(LeftoverSweep, KeepsTheBundlesUsedLastAndNoneWithoutItsRecord) {
  SweepTemp temp;
  const SweepForm bundles = {as_wide(WORKING_DIR_FORM), as_wide(DIRECTORY_LOCK_NAME), true};
  const uint64_t now = now_stamp();
  const uint64_t hour = DAY / 24;
  const struct {
    std::wstring name;
    uint64_t used;
    bool record;
    bool kept;
  } cases[] = {
      {L"00000000000000a1", now - 3 * hour, true, false},  // the third used last
      {L"00000000000000a2", now - hour, true, true},
      {L"00000000000000a3", now - 60, false, false},  // used last, but its record removed
      {L"00000000000000a4", now - KEPT_BUNDLE_AGE_100NS - hour, true, false},
      {L"00000000000000a5.2", now - 2 * hour, true, true},
  };
  static_assert(KEPT_RECENT_BUNDLES == 2, "the cases keep two");
  std::vector<std::wstring> expected = {temp.own.filename().wstring()};
  for (const auto& c : cases) {
    fs::path dir = temp.leftover(c.name);
    if (c.record) write_file(dir / as_wide(BUNDLE_RECORD_NAME), "record");
    HANDLE lock = CreateFileW((dir / as_wide(DIRECTORY_LOCK_NAME)).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    FILETIME used = filetime_of(c.used);
    EXPECT_TRUE(SetFileTime(lock, nullptr, nullptr, &used));
    CloseHandle(lock);
    if (c.kept) expected.push_back(c.name);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sweep_leftovers(&bundles), 3);
  EXPECT_EQ(temp.names(), expected);
}

std::atomic<int> slow_removals{0};

BOOL WINAPI slow_delete(LPCWSTR path) {
  Sleep(20);
  ++slow_removals;
  return DeleteFileW(path);
}

std::atomic<DWORD> sweep_wait_ms{INFINITE};

DWORD WINAPI recording_wait(HANDLE object, DWORD milliseconds) {
  sweep_wait_ms = milliseconds;
  return WaitForSingleObject(object, milliseconds);
}

// The application ends at once while the sweep has seconds of work: the run
// waits for it no longer than the bound and ends with it cut short.
VORBEL_SCENARIO(sweep_cut_short) {
  copy_wide(extraction_dir, PATH_CAPACITY, __wargv[2]);
  system_calls.DeleteFileW = slow_delete;
  system_calls.WaitForSingleObject = recording_wait;
  start_leftover_sweep(&FORM);
  limit_leftover_sweep();
  finish_leftover_sweep();
  printf("wait=%lu removals=%d\n", static_cast<unsigned long>(sweep_wait_ms.load()), slow_removals.load());
  fflush(stdout);
  return 0;  // with the sweep perhaps still in a call
}

TEST(LeftoverSweep, OnceTheApplicationHasEndedTheSweepStopsWithinItsBound) {
  SweepTemp temp;
  std::vector<fs::path> leftovers;
  for (int i = 0; i < SWEEP_DIRECTORIES_PER_RUN; ++i) {
    leftovers.push_back(temp.leftover(L"onefile_" + NOBODY + L"_" + std::to_wstring(1000 + i)));
    for (int file = 0; file < 40; ++file) write_file(leftovers.back() / (L"f" + std::to_wstring(file)), "x");
  }
  ProcessResult result = run_scenario("sweep_cut_short", {}, {temp.own.wstring()});
  ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
  unsigned long wait = 0;
  int removals = 0;
  ASSERT_EQ(sscanf(result.out.c_str(), "wait=%lu removals=%d", &wait, &removals), 2) << result.out;
  EXPECT_LE(wait, SWEEP_AFTER_END_MS);
  // 8 x 41 files at 20 ms each are far more than the bound allows.
  EXPECT_LT(removals, SWEEP_DIRECTORIES_PER_RUN * 41);
  int whole = 0;
  for (const fs::path& dir : leftovers) {
    if (!fs::exists(dir)) continue;
    ++whole;
    EXPECT_TRUE(fs::exists(dir / as_wide(DIRECTORY_LOCK_NAME)) || fs::is_empty(dir))
        << "a removal cut short keeps its lock";
  }
  EXPECT_GT(whole, 0);
  // The next runs finish the work.
  for (int run = 0; run < 3 && temp.names().size() > 1; ++run) sweep_leftovers(&FORM);
  EXPECT_EQ(temp.names(), std::vector<std::wstring>{temp.own.filename().wstring()});
}

// The cached mode's end: a sweep with work left when the wait is over is cut
// at once, between two entries, and its thread is gone (the lock it held
// closed, kept on disk) before the call returns; one that has ended, or
// never began, is no work left.
VORBEL_SCENARIO(sweep_cut_at_once) {
  copy_wide(extraction_dir, PATH_CAPACITY, __wargv[2]);
  system_calls.DeleteFileW = slow_delete;
  start_leftover_sweep(&FORM);
  const bool ended_in_time = wcscmp(__wargv[3], L"end") == 0;
  if (!ended_in_time) {
    while (slow_removals < 2) Sleep(1);
  }
  ULONGLONG before = GetTickCount64();
  bool left = cut_leftover_sweep(ended_in_time ? 60000 : 5);
  ULONGLONG took = GetTickCount64() - before;
  int at_cut = slow_removals;
  Sleep(200);
  printf("left=%d took=%llu after=%d\n", left ? 1 : 0, took, slow_removals.load() - at_cut);
  fflush(stdout);
  return 0;
}

TEST(LeftoverSweep, TheCachedModesEndCutsASweepWithWorkLeftAtOnceAndOnlyThen) {
  SweepTemp temp;
  ProcessResult nothing = run_scenario("sweep_cut_at_once", {}, {temp.own.wstring(), L"end"});
  EXPECT_EQ(nothing.out.rfind("left=0 ", 0), 0u) << nothing.out << nothing.err << ": no sweep, nothing left";

  fs::path small = temp.leftover(L"onefile_" + NOBODY + L"_1000");
  ProcessResult ended = run_scenario("sweep_cut_at_once", {}, {temp.own.wstring(), L"end"});
  EXPECT_EQ(ended.out.rfind("left=0 ", 0), 0u) << ended.out << ended.err << ": the sweep ended within the wait";
  EXPECT_FALSE(fs::exists(small));

  fs::path large = temp.leftover(L"onefile_" + NOBODY + L"_1001");
  for (int file = 0; file < 200; ++file) write_file(large / (L"f" + std::to_wstring(file)), "x");
  ProcessResult cut = run_scenario("sweep_cut_at_once", {}, {temp.own.wstring(), L"cut"});
  unsigned long long took = 0;
  int left = 0, after = 0;
  ASSERT_EQ(sscanf(cut.out.c_str(), "left=%d took=%llu after=%d", &left, &took, &after), 3) << cut.out << cut.err;
  EXPECT_EQ(left, 1);
  // The wait, then one file call of 20 ms at most; never the thread's bound.
  EXPECT_LT(took, 5u + SWEEP_CUT_WAIT_MS) << "the cut is prompt";
  EXPECT_EQ(after, 0) << "nothing is removed after the cut";
  EXPECT_TRUE(fs::exists(large / as_wide(DIRECTORY_LOCK_NAME))) << "a removal cut short keeps its lock";
  HANDLE lock = CreateFileW((large / as_wide(DIRECTORY_LOCK_NAME)).c_str(), GENERIC_READ | DELETE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(lock, INVALID_HANDLE_VALUE) << "and its lock is free for whoever goes on";
  if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
}

}  // namespace
