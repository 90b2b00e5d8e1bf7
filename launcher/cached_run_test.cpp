// Tests of the cached start's decisions, in this process over a payload of
// the test's own: no bundle (a first start), the user's own whole bundle (a
// later start, nothing written but the lock's stamp), a damaged one (stamped
// as long unused) and something else at its name
// (a bundle beside it, used before the own name is unpacked into again once
// the damaged one is gone), a first start that loses its rename to another or
// waits for another under way, and
// the fall-back to a fresh directory (root unusable, application folder
// someone else's or unreadable, a link at the working directory's name).
// Each counts the unpacks by the opens of the application DLL for writing.
#include "launcher/cached_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "common/launcher_names.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_gate.h"
#include "payload/closing_pool.h"
#include "payload/directory_lock.h"
#include "payload/payload_reader.h"
#include "payload/unpack_payload.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"
#include "tests/support/unpacking.h"

namespace fs = std::filesystem;

namespace {

const wchar_t ID[] = L"00112233aabbccdd";

void use_payload() {
  static std::string held;
  held = payload_of({{L"app.dll", "MZ application"}, {L"data\\readme.txt", "readme"}});
  unpack_gate_reopen();
  payload_stream = {};
  payload_stream.resource_data = reinterpret_cast<const uint8_t*>(held.data());
  payload_stream.resource_size = held.size();
}

CacheChoice choice_in(const fs::path& root) {
  CacheChoice choice = {};
  wcscpy(choice.application, L"app");
  wcscpy(choice.bundle_id, ID);
  wcsncpy(choice.root, root.c_str(), LAUNCH_CACHE_ROOT_MAX_UNITS);
  return choice;
}

// The unpacks so far, and what the next one's first write does before it.
int unpacks;
void (*before_first_write)();

HANDLE WINAPI counting_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                            DWORD disposition, DWORD flags, HANDLE template_file) {
  std::wstring name = path;
  if ((access & GENERIC_WRITE) != 0 && name.size() >= 8 && name.substr(name.size() - 8) == L"\\app.dll") {
    ++unpacks;
    if (before_first_write != nullptr) {
      void (*step)() = before_first_write;
      before_first_write = nullptr;
      step();
    }
  }
  return CreateFileW(path, access, share, attributes, disposition, flags, template_file);
}

// One start's decision: the bundle it settles on ("" for none).
std::wstring settle(const CacheChoice& choice) {
  use_payload();
  SystemCallOverride count(system_calls.CreateFileW, counting_open);
  bool settled = settle_cache(&choice);
  std::wstring directory = extraction_dir;
  release_extraction_dir_lock();
  if (!settled) {
    EXPECT_EQ(directory, L"") << "nothing of the mode stays in effect";
  }
  return settled ? directory : L"";
}

// The lock's last-write time: the time of the bundle's last use.
uint64_t lock_stamp(const fs::path& bundle) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  EXPECT_TRUE(GetFileAttributesExW((bundle / as_wide(DIRECTORY_LOCK_NAME)).c_str(), GetFileExInfoStandard, &data));
  return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

int stamps;

BOOL WINAPI counting_stamp(HANDLE file, const FILETIME* created, const FILETIME* accessed, const FILETIME* written) {
  ++stamps;
  return SetFileTime(file, created, accessed, written);
}

std::vector<std::wstring> names_in(const fs::path& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().wstring());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CachedStart, NoBundleIsUnpackedOnceAndTheOwnWholeBundleIsUsedWritingOnlyItsStamp) {
  ScratchDir scratch;
  CacheChoice choice = choice_in(scratch.path());
  unpacks = 0;
  fs::path bundle = scratch.path() / L"app" / ID;
  EXPECT_EQ(settle(choice), bundle.wstring());
  EXPECT_EQ(unpacks, 1);
  EXPECT_EQ(std::wstring(first_entry_path), (bundle / L"app.dll").wstring());
  EXPECT_EQ(read_file(bundle / L"data" / L"readme.txt"), "readme");
  EXPECT_EQ(names_in(scratch.path() / L"app"), std::vector<std::wstring>{ID}) << "no working directory is left";

  // The later start's one write: the time of its use on the lock, one call.
  const uint64_t before = lock_stamp(bundle);
  Sleep(20);
  stamps = 0;
  {
    SystemCallOverride stamp(system_calls.SetFileTime, counting_stamp);
    EXPECT_EQ(settle(choice), bundle.wstring());
  }
  EXPECT_EQ(unpacks, 1) << "a later start unpacks nothing";
  EXPECT_EQ(stamps, 1);
  EXPECT_GT(lock_stamp(bundle), before);
}

// As the lock is opened, the root checked before cannot be renamed away and
// replaced: the start holds it from its check until the lock is held, and
// lets go of it afterwards. (Renaming a folder above it is refused by NTFS
// then too; Wine shows the root's own rename only.)
fs::path root_to_move;
DWORD move_while_locking = ERROR_SUCCESS;

HANDLE WINAPI move_root_at_the_lock(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                    DWORD disposition, DWORD flags, HANDLE template_file) {
  std::wstring name = path;
  const std::wstring lock = std::wstring(L"\\") + reinterpret_cast<const wchar_t*>(DIRECTORY_LOCK_NAME);
  if (!root_to_move.empty() && name.size() > lock.size() && name.substr(name.size() - lock.size()) == lock) {
    std::wstring moved = root_to_move.wstring() + L"-moved";
    if (MoveFileExW(root_to_move.c_str(), moved.c_str(), 0)) {
      MoveFileExW(moved.c_str(), root_to_move.c_str(), 0);
      move_while_locking = ERROR_SUCCESS;
    } else {
      move_while_locking = GetLastError();
    }
    root_to_move.clear();
  }
  return counting_open(path, access, share, attributes, disposition, flags, template_file);
}

TEST(CachedStart, TheCheckedRootCannotBeRenamedBeforeTheLockIsHeld) {
  ScratchDir scratch;
  fs::path root = scratch.path() / L"root";
  fs::create_directories(root);
  CacheChoice choice = choice_in(root);
  for (const char* start : {"first start", "later start"}) {
    root_to_move = root;
    move_while_locking = ERROR_SUCCESS;
    use_payload();
    SystemCallOverride open(system_calls.CreateFileW, move_root_at_the_lock);
    ASSERT_TRUE(settle_cache(&choice)) << start;
    release_extraction_dir_lock();
    EXPECT_TRUE(root_to_move.empty()) << start << ": the lock was opened";
    EXPECT_EQ(move_while_locking, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << start;
  }
  fs::path moved = root.wstring() + L"-moved";
  EXPECT_TRUE(MoveFileExW(root.c_str(), moved.c_str(), 0)) << "let go of once the lock is held";
}

TEST(CachedStart, ADamagedBundleOrSomethingElseAtItsNameGetsABundleBesideIt) {
  ScratchDir scratch;
  CacheChoice choice = choice_in(scratch.path());
  unpacks = 0;
  fs::path app = scratch.path() / L"app";
  ASSERT_EQ(settle(choice), (app / ID).wstring());
  write_file(app / ID / L"app.dll", "MZ cut");  // another size than the record's
  EXPECT_EQ(settle(choice), (app / (std::wstring(ID) + L".2")).wstring());
  EXPECT_EQ(unpacks, 2);
  EXPECT_EQ(lock_stamp(app / ID), BUNDLE_DAMAGED_USE_TIME) << "no sweep keeps it as recently used";

  ScratchDir other;
  write_file(other.path() / L"app" / ID, "a file at the bundle's name");
  CacheChoice beside = choice_in(other.path());
  EXPECT_EQ(settle(beside), (other.path() / L"app" / (std::wstring(ID) + L".2")).wstring());
  EXPECT_EQ(unpacks, 3);
}

// Once the sweep has taken the damaged bundle, its own name is free while the
// one made beside it is whole: that one serves, at whatever number it stands.
TEST(CachedStart, AWholeNumberedBundleIsUsedBeforeTheFreeOwnNameIsUnpackedInto) {
  ScratchDir scratch;
  CacheChoice choice = choice_in(scratch.path());
  unpacks = 0;
  fs::path app = scratch.path() / L"app";
  fs::path second = app / (std::wstring(ID) + L".2");
  ASSERT_EQ(settle(choice), (app / ID).wstring());
  fs::remove(app / ID / L"app.dll");
  ASSERT_EQ(settle(choice), second.wstring());
  fs::remove_all(app / ID);  // as the sweep does once nothing uses it
  EXPECT_EQ(settle(choice), second.wstring());
  EXPECT_EQ(settle(choice), second.wstring());
  EXPECT_EQ(unpacks, 2) << "one for the first start, one for the damage";
  EXPECT_EQ(names_in(app), std::vector<std::wstring>{std::wstring(ID) + L".2"});

  // Gaps before it, and a damaged one among them, are passed over too.
  fs::path fourth = app / (std::wstring(ID) + L".4");
  fs::rename(second, fourth);
  fs::create_directories(app / (std::wstring(ID) + L".3"));
  EXPECT_EQ(settle(choice), fourth.wstring());
  EXPECT_EQ(unpacks, 2);

  // With none whole, the first free name gets the one unpack.
  fs::remove(fourth / L"app.dll");
  EXPECT_EQ(settle(choice), (app / ID).wstring());
  EXPECT_EQ(unpacks, 3);
}

// Another first start's bundle lands at the name while this one unpacks.
fs::path winner_bundle, winner_target;
void place_winner() { fs::rename(winner_bundle, winner_target); }

TEST(CachedStart, AFirstStartThatLosesItsRenameRunsFromTheWinnersBundleWithoutUnpackingAgain) {
  ScratchDir winner, scratch;
  unpacks = 0;
  ASSERT_EQ(settle(choice_in(winner.path())), (winner.path() / L"app" / ID).wstring());
  winner_bundle = winner.path() / L"app" / ID;
  winner_target = scratch.path() / L"app" / ID;
  fs::create_directories(scratch.path() / L"app");
  before_first_write = place_winner;
  EXPECT_EQ(settle(choice_in(scratch.path())), winner_target.wstring());
  EXPECT_EQ(unpacks, 2) << "one for the winner, one for the start that lost";
  EXPECT_EQ(names_in(scratch.path() / L"app"), std::vector<std::wstring>{ID}) << "the loser's work is removed";
}

// Another first start of the bundle under way holds the application folder's
// unpacking lock as a start holds it (deleted when closed), and writes its
// progress there; it places its bundle and ends at the clock's read
// `finish_at_read` (0: it hangs). Each read of the clock is a second later.
HANDLE other_start_lock = INVALID_HANDLE_VALUE;
int clock_reads;
int finish_at_read;
std::vector<std::pair<uint64_t, uint64_t>> progress_shown;

HANDLE hold_unpacking_lock(const fs::path& app) {
  return CreateFileW((app / (std::wstring(ID) + L".unpacking")).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                     FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

ULONGLONG WINAPI clock_of_a_waiting_start() {
  ++clock_reads;
  if (clock_reads == finish_at_read) {
    place_winner();
    CloseHandle(other_start_lock);
    other_start_lock = INVALID_HANDLE_VALUE;
  }
  return 5'000'000 + 1000ull * clock_reads;
}

void record_progress(uint64_t done, uint64_t total) { progress_shown.push_back({done, total}); }

TEST(CachedStart, AFirstStartWaitsForAnotherUnderWayAndRunsFromItsBundleOrUnpacksPastTheBound) {
  ScratchDir winner, scratch, hung;
  unpacks = 0;
  ASSERT_EQ(settle(choice_in(winner.path())), (winner.path() / L"app" / ID).wstring());
  winner_bundle = winner.path() / L"app" / ID;
  winner_target = scratch.path() / L"app" / ID;
  fs::create_directories(scratch.path() / L"app");
  other_start_lock = hold_unpacking_lock(scratch.path() / L"app");
  ASSERT_NE(other_start_lock, INVALID_HANDLE_VALUE);
  const uint64_t other_progress[2] = {40, 200};  // read and total bytes of the payload
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(other_start_lock, other_progress, sizeof other_progress, &written, nullptr));
  unpacks = 0;
  clock_reads = 0;
  finish_at_read = 5;
  progress_shown.clear();
  unpack_progress_hook = record_progress;
  {
    SystemCallOverride clock(system_calls.GetTickCount64, clock_of_a_waiting_start);
    EXPECT_EQ(settle(choice_in(scratch.path())), winner_target.wstring());
  }
  unpack_progress_hook = nullptr;
  EXPECT_EQ(unpacks, 0) << "the other start's bundle serves";
  EXPECT_EQ(clock_reads, 5) << "it waited until the other start ended, no longer";
  ASSERT_FALSE(progress_shown.empty());
  EXPECT_EQ(progress_shown[0], std::make_pair(uint64_t{40}, uint64_t{200})) << "the other start's progress shows";
  EXPECT_EQ(names_in(scratch.path() / L"app"), std::vector<std::wstring>{ID}) << "no lock is left behind";

  // A first start that hangs holds the wait 30 s at most.
  fs::create_directories(hung.path() / L"app");
  other_start_lock = hold_unpacking_lock(hung.path() / L"app");
  ASSERT_NE(other_start_lock, INVALID_HANDLE_VALUE);
  clock_reads = 0;
  finish_at_read = 0;
  {
    SystemCallOverride clock(system_calls.GetTickCount64, clock_of_a_waiting_start);
    EXPECT_EQ(settle(choice_in(hung.path())), (hung.path() / L"app" / ID).wstring());
  }
  EXPECT_EQ(unpacks, 1) << "past the bound the start unpacks itself";
  EXPECT_EQ(clock_reads, 31) << "the bound is 30 s, read once a second here";
  CloseHandle(other_start_lock);
  EXPECT_EQ(names_in(hung.path() / L"app"), std::vector<std::wstring>{ID});

  // A directory at the lock's name is no start under way: nothing to wait for.
  ScratchDir blocked;
  fs::create_directories(blocked.path() / L"app" / (std::wstring(ID) + L".unpacking"));
  clock_reads = 0;
  {
    SystemCallOverride clock(system_calls.GetTickCount64, clock_of_a_waiting_start);
    EXPECT_EQ(settle(choice_in(blocked.path())), (blocked.path() / L"app" / ID).wstring());
  }
  EXPECT_EQ(unpacks, 2);
  EXPECT_EQ(clock_reads, 1) << "no wait";
}

// Every file of a bundle, and its record, goes to the disk before the rename
// makes it a bundle; a fresh directory's files, removed at the run's end, do not.
std::atomic<int> flushes{0};
int flushes_at_rename = -1;
BOOL WINAPI counting_flush(HANDLE file) {
  ++flushes;
  return FlushFileBuffers(file);
}
BOOL WINAPI rename_seeing_flushes(LPCWSTR from, LPCWSTR to, DWORD flags) {
  flushes_at_rename = flushes;
  return MoveFileExW(from, to, flags);
}

TEST(CachedStart, EveryFileOfABundleIsFlushedBeforeItsRename) {
  ScratchDir scratch;
  flushes = 0;
  {
    SystemCallOverride flush(system_calls.FlushFileBuffers, counting_flush);
    SystemCallOverride rename(system_calls.MoveFileExW, rename_seeing_flushes);
    EXPECT_EQ(settle(choice_in(scratch.path())), (scratch.path() / L"app" / ID).wstring());
  }
  EXPECT_EQ(flushes_at_rename, 3) << "app.dll, data\\readme.txt and the record";
  EXPECT_FALSE(flush_unpacked_files) << "a fresh directory's files are not flushed";
}

// Another version's sweep takes part of the bundle between the rename and
// the lock, once (the payload is then read anew, as a run reads its resource).
bool lose_a_file;
BOOL WINAPI rename_then_lose_a_file(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (!MoveFileExW(from, to, flags)) return FALSE;
  if (lose_a_file) {
    DeleteFileW((std::wstring(to) + L"\\app.dll").c_str());
    use_payload();
  }
  lose_a_file = false;
  return TRUE;
}

TEST(CachedStart, AFirstStartNeverRunsFromABundleTakenApartAfterItsRename) {
  ScratchDir scratch;
  unpacks = 0;
  fs::path app = scratch.path() / L"app";
  lose_a_file = true;
  {
    SystemCallOverride taken(system_calls.MoveFileExW, rename_then_lose_a_file);
    EXPECT_EQ(settle(choice_in(scratch.path())), (app / (std::wstring(ID) + L".2")).wstring());
  }
  EXPECT_TRUE(fs::exists(app / (std::wstring(ID) + L".2") / L"app.dll"));
}

// The rename answers `rename_error` the next `renames_refused` times, then
// renames; every call counted.
DWORD rename_error;
int renames_refused;
int renames_tried;
BOOL WINAPI refusing_rename(LPCWSTR from, LPCWSTR to, DWORD flags) {
  ++renames_tried;
  if (renames_refused == 0) return MoveFileExW(from, to, flags);
  --renames_refused;
  SetLastError(rename_error);
  return FALSE;
}

bool is_working_directory(const fs::path& path) { return path.filename().wstring().rfind(L"unpacking_", 0) == 0; }

// A refused rename that is not a lost race (a file a scanner holds, a link at
// the name that leads nowhere): the start waits a bounded time for a held
// file, else runs from its whole working directory, and never unpacks again.
TEST(CachedStart, ARefusedRenameIsNoLostRaceAndTheStartUnpacksOnce) {
  const struct {
    DWORD error;
    int refused;
    bool placed;
    int tries;
    const char* why;
  } cases[] = {
      {ERROR_SHARING_VIOLATION, 3, true, 4, "a file held a while"},
      {ERROR_ACCESS_DENIED, 8, true, 9, "held almost to the bound"},
      {ERROR_ACCESS_DENIED, 1000, false, 9, "held past the bound"},
      {ERROR_PATH_NOT_FOUND, 1000, false, 1, "not a held file: no wait"},
      {ERROR_ALREADY_EXISTS, 1000, false, 3 * BUNDLE_FOLDER_NAMES, "a name taken that shows nothing"},
  };
  for (const auto& c : cases) {
    ScratchDir scratch;
    fs::path app = scratch.path() / L"app";
    unpacks = 0;
    rename_error = c.error;
    renames_refused = c.refused;
    renames_tried = 0;
    std::wstring settled;
    {
      SystemCallOverride refused(system_calls.MoveFileExW, refusing_rename);
      settled = settle(choice_in(scratch.path()));
    }
    EXPECT_EQ(unpacks, 1) << c.why;
    EXPECT_EQ(renames_tried, c.tries) << c.why;
    std::vector<std::wstring> names = names_in(app);
    ASSERT_EQ(names.size(), 1u) << c.why;
    if (c.placed) {
      EXPECT_EQ(settled, (app / ID).wstring()) << c.why;
    } else {
      EXPECT_TRUE(is_working_directory(settled)) << c.why << ": runs from its working directory";
      EXPECT_EQ(settled, (app / names[0]).wstring()) << c.why;
    }
    EXPECT_EQ(read_file(fs::path(settled) / L"data" / L"readme.txt"), "readme") << c.why;
  }
}

VORBEL_SCENARIO(cached_start_whose_rename_is_refused) {
  rename_error = ERROR_PATH_NOT_FOUND;
  renames_refused = 1;
  system_calls.MoveFileExW = refusing_rename;
  std::wstring settled = settle(choice_in(__wargv[2]));
  printf("settled=%s unpacks=%d\n", narrow(fs::path(settled).filename().wstring()).c_str(), unpacks);
  return 0;
}

// The working directory a start ran from, once its process has ended, is
// renamed into place by the next start instead of a new unpack; while its
// process runs, it is never taken.
TEST(CachedStart, ALaterStartPlacesTheWholeWorkingDirectoryOfAStartThatHasEnded) {
  ScratchDir scratch;
  fs::path app = scratch.path() / L"app";
  ProcessResult first = run_scenario("cached_start_whose_rename_is_refused", {}, {scratch.str()});
  ASSERT_EQ(first.exit_code, 0u) << first.err;
  ASSERT_EQ(first.out.rfind("settled=unpacking_", 0), 0u) << first.out;
  EXPECT_NE(first.out.find("unpacks=1"), std::string::npos) << first.out;
  std::vector<std::wstring> left = names_in(app);
  ASSERT_EQ(left.size(), 1u);

  unpacks = 0;
  EXPECT_EQ(settle(choice_in(scratch.path())), (app / ID).wstring());
  EXPECT_EQ(unpacks, 0) << "the working directory is renamed, not unpacked again";
  EXPECT_EQ(names_in(app), std::vector<std::wstring>{ID});
  EXPECT_EQ(read_file(app / ID / L"data" / L"readme.txt"), "readme");

  // One of this process's own (running): left alone, and a bundle made.
  ScratchDir other;
  renames_refused = 1;
  rename_error = ERROR_PATH_NOT_FOUND;
  std::wstring running;
  {
    SystemCallOverride refused(system_calls.MoveFileExW, refusing_rename);
    running = settle(choice_in(other.path()));
  }
  ASSERT_TRUE(is_working_directory(running));
  EXPECT_EQ(settle(choice_in(other.path())), (other.path() / L"app" / ID).wstring());
  EXPECT_EQ(unpacks, 2);
  EXPECT_TRUE(fs::exists(fs::path(running) / L"app.dll")) << "a running start's working directory is kept";
}

DWORD WINAPI security_unreadable(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                 PSECURITY_DESCRIPTOR*) {
  return ERROR_ACCESS_DENIED;
}

BOOL WINAPI volume_without_acls(HANDLE, DWORD* flags) {
  *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;  // as FAT32 and exFAT answer
  return TRUE;
}

TEST(CachedStart, FallsBackToAFreshDirectoryWhenTheCacheCannotBeUsed) {
  unpacks = 0;
  {
    ScratchDir scratch;
    write_file(scratch.path() / L"root", "a file where the root should be");
    EXPECT_EQ(settle(choice_in(scratch.path() / L"root")), L"");
  }
  {
    ScratchDir scratch;
    fs::create_directories(scratch.path() / L"app");
    for (int number = 2; number <= BUNDLE_FOLDER_NAMES; ++number) {
      fs::create_directories(scratch.path() / (L"app." + std::to_wstring(number)));
    }
    SystemCallOverride foreign(system_calls.GetSecurityInfo, owned_by_everyone);
    EXPECT_EQ(settle(choice_in(scratch.path())), L"") << "every name of the application folder is someone else's";
  }
  {
    ScratchDir scratch;
    fs::create_directories(scratch.path() / L"app");
    SystemCallOverride unreadable(system_calls.GetSecurityInfo, security_unreadable);
    EXPECT_EQ(settle(choice_in(scratch.path())), L"");
  }
  {
    // The application folder's volume is taken to be the root's: the root's
    // own must be asked.
    ScratchDir scratch;
    fs::create_directories(scratch.path() / L"app");
    SystemCallOverride fat(system_calls.read_volume_flags, volume_without_acls);
    EXPECT_EQ(settle(choice_in(scratch.path())), L"") << "a root on a volume that keeps no ACLs";
  }
  EXPECT_EQ(unpacks, 0);
}

// A link planted at the working directory's name: made here as a plain
// directory that the seam shows as a link, by path as Wine does.
BOOL WINAPI working_directory_planted(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  if (std::wstring(path).find(L"\\unpacking_") == std::wstring::npos) return CreateDirectoryW(path, attributes);
  CreateDirectoryW(path, nullptr);
  marked_link_path = path;
  SetLastError(ERROR_ALREADY_EXISTS);
  return FALSE;
}

VORBEL_SCENARIO(cached_start_meets_a_planted_working_directory) {
  system_calls.CreateDirectoryW = working_directory_planted;
  system_calls.GetFileAttributesW = attributes_marking_link;
  std::wstring settled = settle(choice_in(__wargv[2]));
  printf("settled=%s unpacks=%d\n", narrow(settled).c_str(), unpacks);
  return 0;
}

TEST(CachedStart, ALinkAtTheWorkingDirectorysNameFallsBackInsteadOfStopping) {
  ScratchDir scratch;
  ProcessResult result = run_scenario("cached_start_meets_a_planted_working_directory", {}, {scratch.str()});
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(result.out, text_mode("settled= unpacks=0\n")) << result.err;
}

}  // namespace
