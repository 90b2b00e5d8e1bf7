// Tests of closing unpacked files off the main thread, through slow and recording
// CloseHandle stand-ins: every file closed once with its bytes, none pending at the
// child's start, a console event mid-unpack. Checks order and counts, never durations.
#include "payload/closing_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/capacities.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_gate.h"
#include "launcher/child_launch.h"
#include "payload/unpack_payload.h"
#include "shutdown/console_cleanup.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"
#include "tests/support/unpacking.h"

namespace fs = std::filesystem;

namespace {

// Every call the stand-ins see, numbered in one sequence across threads.
struct FileCall {
  enum Kind { OPEN, WRITE, CLOSE, DIRECTORY, LISTING } kind;
  int sequence;
  DWORD thread;
  HANDLE handle;
  LARGE_INTEGER time;
};

std::mutex calls_lock;
std::vector<FileCall> calls;
std::atomic<int> next_sequence;
DWORD close_delay_ms;

void record(FileCall::Kind kind, HANDLE handle) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::lock_guard<std::mutex> hold(calls_lock);
  calls.push_back({kind, next_sequence++, GetCurrentThreadId(), handle, now});
}

std::vector<FileCall> calls_of(FileCall::Kind kind) {
  std::lock_guard<std::mutex> hold(calls_lock);
  std::vector<FileCall> found;
  for (const FileCall& call : calls) {
    if (call.kind == kind) found.push_back(call);
  }
  return found;
}

void start_recording(DWORD delay_ms) {
  std::lock_guard<std::mutex> hold(calls_lock);
  calls.clear();
  close_delay_ms = delay_ms;
}

// Only the unpacking opens for writing; the removal's own opens are not counted.
HANDLE WINAPI recording_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                             DWORD disposition, DWORD flags, HANDLE template_file) {
  HANDLE file = CreateFileW(path, access, share, attributes, disposition, flags, template_file);
  if (access == GENERIC_WRITE) record(FileCall::OPEN, file);
  return file;
}

BOOL WINAPI recording_write(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  record(FileCall::WRITE, file);
  return WriteFile(file, data, count, written, overlapped);
}

BOOL WINAPI recording_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  record(FileCall::DIRECTORY, nullptr);
  return CreateDirectoryW(path, attributes);
}

// What a scanner on Windows makes of a close: it ends only after a while.
BOOL WINAPI slow_recording_close(HANDLE file) {
  Sleep(close_delay_ms);
  BOOL closed = CloseHandle(file);
  record(FileCall::CLOSE, file);
  return closed;
}

std::multiset<HANDLE> handles_of(const std::vector<FileCall>& found) {
  std::multiset<HANDLE> handles;
  for (const FileCall& call : found) handles.insert(call.handle);
  return handles;
}

std::set<DWORD> threads_of(const std::vector<FileCall>& found) {
  std::set<DWORD> threads;
  for (const FileCall& call : found) threads.insert(call.thread);
  return threads;
}

std::string contents_of(int index) {
  return std::string(static_cast<size_t>(index * 37 % 5000), static_cast<char>('a' + index % 26));
}

std::vector<TestEntry> many_files(int count) {
  std::vector<TestEntry> entries = {{L"app.dll", "MZ"}};
  for (int i = 1; i < count; ++i) {
    entries.push_back({L"d" + std::to_wstring(i % 7) + L"\\f" + std::to_wstring(i) + L".txt", contents_of(i)});
  }
  return entries;
}

struct Recording {
  SystemCallOverride<decltype(system_calls.CreateFileW)> open{system_calls.CreateFileW, recording_open};
  SystemCallOverride<decltype(system_calls.CloseHandle)> close{system_calls.CloseHandle, slow_recording_close};
};

TEST(ClosingPool, SlowClosesRunOnClosingThreadsWhileTheWriterGoesOnAndEachFileIsClosedOnceWithItsBytes) {
  ScratchDir scratch;
  const std::vector<TestEntry> entries = many_files(150);
  start_unpacking(payload_of(entries), scratch.str());
  start_recording(3);
  Recording recording;
  ASSERT_TRUE(unpack_all());

  std::vector<FileCall> opens = calls_of(FileCall::OPEN);
  std::vector<FileCall> closes = calls_of(FileCall::CLOSE);
  ASSERT_EQ(opens.size(), entries.size());
  EXPECT_EQ(handles_of(closes), handles_of(opens));
  // The pool grows past one thread as the closes fall behind, and no further than its bound.
  std::set<DWORD> closers = threads_of(closes);
  closers.erase(GetCurrentThreadId());
  EXPECT_GE(closers.size(), 2u);
  EXPECT_LE(closers.size(), static_cast<size_t>(CLOSING_THREADS_MAX));
  for (const TestEntry& entry : entries) EXPECT_EQ(read_file(scratch.path() / entry.name), entry.contents);
}

HANDLE WINAPI no_thread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

// A queued file that no thread would ever take would stay open under the
// child. In a process of its own: the pool's threads outlive an unpack.
VORBEL_SCENARIO(unpack_without_threads) {
  start_unpacking(payload_of(many_files(20)), __wargv[2]);
  start_recording(0);
  Recording recording;
  SystemCallOverride refuse(system_calls.CreateThread, no_thread);
  unpack_payload(UNPACK_ALL_ENTRIES);
  std::vector<FileCall> closes = calls_of(FileCall::CLOSE);
  bool all_closed = handles_of(closes) == handles_of(calls_of(FileCall::OPEN));
  printf("closed=%zu all=%d writer_only=%d\n", closes.size(), all_closed ? 1 : 0,
         threads_of(closes) == std::set<DWORD>{GetCurrentThreadId()} ? 1 : 0);
  return 0;
}

TEST(ClosingPool, WithoutAThreadTheWriterClosesEveryFileBeforeTheUnpackEnds) {
  ScratchDir scratch;
  ProcessResult result = run_scenario("unpack_without_threads", {}, {scratch.str()});
  EXPECT_NE(result.out.find("closed=20 all=1 writer_only=1"), std::string::npos) << result.out << result.err;
}

// Closing threads hang on until the writer has closed a file of its own.
HANDLE writer_closed;
DWORD writer_thread;

BOOL WINAPI close_held_until_the_writer_closes(HANDLE file) {
  if (GetCurrentThreadId() == writer_thread) {
    SetEvent(writer_closed);
  } else {
    WaitForSingleObject(writer_closed, 10000);  // a bound, so that a writer that waits fails instead of hanging
  }
  BOOL closed = CloseHandle(file);
  record(FileCall::CLOSE, file);
  return closed;
}

TEST(ClosingPool, WithEveryThreadBusyAndTheQueueFullTheWriterClosesItsOwnFileAndLosesNone) {
  ScratchDir scratch;
  const int files = static_cast<int>(CLOSING_QUEUE_CAPACITY) + CLOSING_THREADS_MAX + 20;
  start_unpacking(payload_of(many_files(files)), scratch.str());
  start_recording(0);
  writer_closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  writer_thread = GetCurrentThreadId();
  {
    SystemCallOverride open(system_calls.CreateFileW, recording_open);
    SystemCallOverride close(system_calls.CloseHandle, close_held_until_the_writer_closes);
    ASSERT_TRUE(unpack_all());
  }
  CloseHandle(writer_closed);
  std::vector<FileCall> opens = calls_of(FileCall::OPEN);
  std::vector<FileCall> closes = calls_of(FileCall::CLOSE);
  EXPECT_EQ(handles_of(closes), handles_of(opens));
  auto by_writer =
      std::find_if(closes.begin(), closes.end(), [](const FileCall& call) { return call.thread == writer_thread; });
  ASSERT_NE(by_writer, closes.end());
  EXPECT_LT(by_writer->sequence, opens.back().sequence) << "the writer closed nothing while it was unpacking";
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

TEST(ClosingPool, NoCloseIsPendingWhenTheChildStarts) {
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
    {
      std::lock_guard<std::mutex> hold(calls_lock);
      for (const FileCall& call : calls) {
        bool making = call.kind == FileCall::OPEN || call.kind == FileCall::WRITE || call.kind == FileCall::DIRECTORY;
        if (making && call.sequence > removal_began) ++made_after;
      }
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
    removal_began = next_sequence++;
  }
  return FindFirstFileExW(pattern, level, found, search, filter, flags);
}

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
  unpack_payload(UNPACK_ALL_ENTRIES);
  puts("the unpacking went on to its end");
  return 3;
}

TEST(ClosingPool, AConsoleEventInsideAnUnpackMeetsNoOpenFileAndNothingIsMadeBehindTheRemoval) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"onefile_1_2";
  ProcessResult result = run_scenario("console_event_inside_an_unpack", {}, {dir.wstring()});
  EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
  EXPECT_NE(result.out.find("opened=500 open_at_removal=0 made_after_removal=0 directory_left=0"), std::string::npos)
      << result.out;
  EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
