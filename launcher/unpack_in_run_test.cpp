// Unpacking with the rest of a run: a deep tree's paths reach every file call
// of the unpacking and the removal in their long form; the home directory is
// asked for (through {HOME}) only when a directory's climb needs it; no close
// is pending when the child starts; a console event inside an unpack meets no
// open file, and nothing is made behind the removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "common/bounded_text.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_gate.h"
#include "launcher/child_launch.h"
#include "launcher/launcher_main.h"
#include "payload/directory_maker.h"
#include "payload/unpack_payload.h"
#include "shutdown/console_cleanup.h"
#include "tests/support/file_calls.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"
#include "tests/support/unpacking.h"

namespace fs = std::filesystem;

namespace {

// Every path the unpacking and the removal hand to a file call, as handed.
std::vector<std::wstring> file_call_paths;

HANDLE WINAPI recording_create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                    DWORD disposition, DWORD flags, HANDLE template_file) {
  file_call_paths.push_back(path);
  return CreateFileW(path, access, share, attributes, disposition, flags, template_file);
}
BOOL WINAPI recording_make_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  file_call_paths.push_back(path);
  return CreateDirectoryW(path, attributes);
}
HANDLE WINAPI recording_listing(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found, FINDEX_SEARCH_OPS search,
                                LPVOID filter, DWORD flags) {
  file_call_paths.push_back(pattern);
  return FindFirstFileExW(pattern, level, found, search, filter, flags);
}
BOOL WINAPI recording_delete_file(LPCWSTR path) {
  file_call_paths.push_back(path);
  return DeleteFileW(path);
}
BOOL WINAPI recording_remove_directory(LPCWSTR path) {
  file_call_paths.push_back(path);
  return RemoveDirectoryW(path);
}
DWORD WINAPI recording_attributes(LPCWSTR path) {
  file_call_paths.push_back(path);
  return GetFileAttributesW(path);
}

// Without the LongPathsEnabled policy Windows refuses plain paths of 248 units
// and more; Wine has no such limit, so the form of each path is what shows.
TEST(UnpackInARun, LongPathsReachEveryFileCallInTheirLongFormAndAreRemovedAgain) {
  ScratchDir scratch;
  std::wstring deep;
  for (int level = 0; level < 300; ++level) deep += L"a\\";
  deep += L"f";
  fs::path dir = scratch.path() / L"onefile_1_2";
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {deep, "deep"}, {L"short.txt", "s"}}), dir.wstring());
  SystemCallOverride files(system_calls.CreateFileW, recording_create_file);
  SystemCallOverride directories(system_calls.CreateDirectoryW, recording_make_directory);
  SystemCallOverride listings(system_calls.FindFirstFileExW, recording_listing);
  SystemCallOverride deletions(system_calls.DeleteFileW, recording_delete_file);
  SystemCallOverride removals(system_calls.RemoveDirectoryW, recording_remove_directory);
  SystemCallOverride attributes(system_calls.GetFileAttributesW, recording_attributes);
  file_call_paths.clear();
  ASSERT_TRUE(unpack_all());
  EXPECT_EQ(read_file(dir.wstring() + L"\\" + deep), "deep");

  cleanup_armed = TRUE;
  copy_wide(extraction_dir, PATH_CAPACITY, dir.c_str());
  cleanup_extraction();
  cleanup_armed = FALSE;
  run_end_taken = 0;
  EXPECT_FALSE(fs::exists(dir));

  const std::wstring prefix = L"\\\\?\\";
  size_t long_ones = 0;
  for (const std::wstring& path : file_call_paths) {
    if (path.rfind(prefix, 0) == 0) {
      ++long_ones;
      EXPECT_GE(path.size() - prefix.size(), LONG_PATH_THRESHOLD) << narrow(path);
      EXPECT_EQ(path.rfind(prefix + dir.wstring(), 0), 0u) << narrow(path);
    } else {
      EXPECT_LT(path.size(), LONG_PATH_THRESHOLD) << narrow(path);
    }
  }
  // Every level below the threshold's depth is made, written, listed and removed.
  EXPECT_GT(long_ones, 4u * 200u);
  EXPECT_NE(std::find(file_call_paths.begin(), file_call_paths.end(), (dir / L"short.txt").wstring()),
            file_call_paths.end());
}

HRESULT WINAPI no_profile_folder(HWND, int, HANDLE, DWORD, LPWSTR) {
  return E_FAIL;
}

VORBEL_SCENARIO(unpack_without_home) {
  system_calls.SHGetFolderPathW = no_profile_folder;
  set_directory_home_source(find_home_directory);
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {L"data\\docs\\readme.txt", "r"}}), __wargv[2]);
  unpack_payload(UNPACK_ALL_ENTRIES);
  return 0;
}

ProcessResult run_in_directory(const char* scenario, const std::wstring& directory) {
  return run_scenario(scenario, {}, {directory});
}

// The home directory is asked for only when a climb leaves the extraction
// directory: one whose parent exists needs no profile folder (and no
// shell32), however deep its entries' own directories go.
TEST(UnpackInARun, AHomeDirectoryThatCannotBeFoundIsASpecErrorOnlyWhenAClimbNeedsIt) {
  ScratchDir scratch;
  ProcessResult direct = run_in_directory("unpack_without_home", (scratch.path() / L"onefile_1_2").wstring());
  EXPECT_EQ(direct.exit_code, 0u) << direct.err;
  EXPECT_EQ(read_file(scratch.path() / L"onefile_1_2" / L"app.dll"), "MZ");
  EXPECT_EQ(read_file(scratch.path() / L"onefile_1_2" / L"data" / L"docs" / L"readme.txt"), "r");
  ProcessResult climbing =
      run_in_directory("unpack_without_home", (scratch.path() / L"missing" / L"deeper" / L"onefile_1_2").wstring());
  EXPECT_EQ(climbing.exit_code, ABORT_STATUS);
  EXPECT_EQ(climbing.err.rfind(text_mode("Error, couldn't runtime expand spec '{HOME}'.\n"), 0), 0u) << climbing.err;
}

// The child start as the launcher makes it, with the closes 3 ms each; the
// CreateProcessW stand-in reports what was closed by then and refuses.
BOOL WINAPI child_start_counting_closes(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                        LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  std::vector<FileCall> opens = calls_of(FileCall::OPEN);
  std::vector<FileCall> closes = calls_of(FileCall::CLOSE);
  size_t after_start = 0;
  for (const FileCall& close : closes) after_start += close.time.QuadPart > start.QuadPart ? 1 : 0;
  std::set<DWORD> closers = threads_of(closes);
  closers.erase(GetCurrentThreadId());
  std::multiset<HANDLE> open_handles = handles_of(opens);
  for (const FileCall& close : closes) {
    auto found = open_handles.find(close.handle);
    if (found != open_handles.end()) open_handles.erase(found);
  }
  printf("opened=%zu closed=%zu still_open=%zu closed_after_start=%zu closing_threads=%s\n", opens.size(),
         closes.size(), open_handles.size(), after_start, closers.empty() ? "none" : "some");
  fflush(stdout);
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

VORBEL_SCENARIO(slow_closes_then_child_start) {
  start_unpacking(payload_of(many_files(200)), __wargv[2]);
  start_recording(3);
  system_calls.CreateFileW = recording_open;
  system_calls.CloseHandle = slow_recording_close;
  system_calls.CreateProcessW = child_start_counting_closes;
  unpack_payload(UNPACK_ALL_ENTRIES);
  return launch_child_and_wait();
}

TEST(UnpackInARun, NoCloseIsPendingWhenTheChildStarts) {
  ScratchDir scratch;
  ProcessResult result = run_scenario("slow_closes_then_child_start", {}, {scratch.str()});
  EXPECT_EQ(result.exit_code, 2u) << result.err;
  EXPECT_NE(result.out.find("opened=200 closed=200 still_open=0 closed_after_start=0 closing_threads=some"),
            std::string::npos)
      << result.out;
}

// A console event while the main thread is inside the 500th of 1000 entries,
// a large one, with closes of 1 ms still queued. The event's thread runs the
// launcher's handler, then reports what the stand-ins saw.
constexpr int EVENT_AT_FILE = 500;
std::atomic<int> unpack_opens;
std::atomic<int> removal_began{-1};
std::atomic<size_t> open_when_removal_began;

HANDLE WINAPI open_raising_an_event(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                    DWORD disposition, DWORD flags, HANDLE template_file) {
  HANDLE file = recording_open(path, access, share, attributes, disposition, flags, template_file);
  if (access != GENERIC_WRITE || ++unpack_opens != EVENT_AT_FILE) return file;
  std::thread([] {
    console_ctrl_handler(CTRL_C_EVENT);
    Sleep(200);  // room for a main thread that went on to show itself
    std::vector<FileCall> opens = calls_of(FileCall::OPEN);
    size_t made_after = 0;
    for (const FileCall& call : all_calls()) {
      bool making = call.kind == FileCall::OPEN || call.kind == FileCall::WRITE || call.kind == FileCall::DIRECTORY;
      if (making && call.sequence > removal_began) ++made_after;
    }
    printf("opened=%zu open_at_removal=%zu made_after_removal=%zu directory_left=%d\n", opens.size(),
           open_when_removal_began.load(), made_after, fs::exists(extraction_dir) ? 1 : 0);
    fflush(stdout);
    ExitProcess(0);
  }).detach();
  // The handler finds the main thread inside this entry, with its file open
  // (unless it is slow to start: then between entries or in a later one).
  for (int wait = 0; wait < 500 && !unpack_gate_stop_asked(); ++wait) Sleep(1);
  return file;
}

// The walk's first listing: the removal has begun.
HANDLE WINAPI listing_marks_removal(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found, FINDEX_SEARCH_OPS search,
                                    LPVOID filter, DWORD flags) {
  if (removal_began < 0) {
    std::multiset<HANDLE> open_handles = handles_of(calls_of(FileCall::OPEN));
    for (const FileCall& close : calls_of(FileCall::CLOSE)) {
      auto at = open_handles.find(close.handle);
      if (at != open_handles.end()) open_handles.erase(at);
    }
    open_when_removal_began = open_handles.size();
    removal_began = take_sequence();
  }
  return FindFirstFileExW(pattern, level, found, search, filter, flags);
}

// The handler ends the process once the removal is done; here the event's
// thread goes on to report instead.
void WINAPI end_left_to_the_report(UINT) {}

VORBEL_SCENARIO(console_event_inside_an_unpack) {
  std::vector<TestEntry> entries = many_files(1000);
  entries[EVENT_AT_FILE - 1].contents = std::string(4 << 20, 'L');
  start_unpacking(payload_of(entries), __wargv[2]);
  cleanup_armed = TRUE;
  start_recording(1);
  system_calls.CreateFileW = open_raising_an_event;
  system_calls.WriteFile = recording_write;
  system_calls.CreateDirectoryW = recording_directory;
  system_calls.CloseHandle = slow_recording_close;
  system_calls.FindFirstFileExW = listing_marks_removal;
  system_calls.ExitProcess = end_left_to_the_report;
  unpack_payload(UNPACK_ALL_ENTRIES);
  puts("the unpacking went on to its end");
  return 3;
}

TEST(UnpackInARun, AConsoleEventInsideAnUnpackMeetsNoOpenFileAndNothingIsMadeBehindTheRemoval) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"onefile_1_2";
  ProcessResult result = run_scenario("console_event_inside_an_unpack", {}, {dir.wstring()});
  EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
  EXPECT_NE(result.out.find("opened=500 open_at_removal=0 made_after_removal=0 directory_left=0"), std::string::npos)
      << result.out;
  EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
