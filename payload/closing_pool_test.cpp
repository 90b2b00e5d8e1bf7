// Tests of closing unpacked files off the main thread, through slow and recording
// CloseHandle stand-ins: every file closed once with its bytes, by the writer
// when no thread can. Checks order and counts, never durations. (None pending
// at the child's start, and a console event mid-unpack: the launcher's tests.)
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
#include "payload/unpack_payload.h"
#include "tests/support/file_calls.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"
#include "tests/support/unpacking.h"

namespace fs = std::filesystem;

namespace {

struct Recording {
  SystemCallOverride<decltype(system_calls.CreateFileW)> open{system_calls.CreateFileW, recording_open};
  SystemCallOverride<decltype(system_calls.CloseHandle)> close{system_calls.CloseHandle, slow_recording_close};
};

// Every file handed on from the first, for the tests of the pool itself: the
// writer's own quick closes are the scenario's below.
struct HandedOnFromTheFirst {
  HandedOnFromTheFirst() { slow_close_microseconds = 0; }
  ~HandedOnFromTheFirst() { slow_close_microseconds = SLOW_CLOSE_MICROSECONDS; }
};

TEST(ClosingPool, SlowClosesRunOnClosingThreadsWhileTheWriterGoesOnAndEachFileIsClosedOnceWithItsBytes) {
  ScratchDir scratch;
  HandedOnFromTheFirst handed_on;
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

// The sixth close is slow (a scanner wakes): the writer closes the quick ones
// itself, each before the next file opens, and starts closing threads only
// after the slow one, for every file from then on. A writer that never handed
// on would close a tree behind a scanner one by one. The bound is raised so
// far that no quick close reaches it on a loaded machine. In a process of its
// own: the writer's judgement lasts as long as the process.
std::atomic<int> closes_so_far;
std::atomic<int> threads_started;
int threads_at_the_slow_close = -1;

BOOL WINAPI close_slow_at_the_sixth(HANDLE file) {
  if (++closes_so_far == 6) {
    threads_at_the_slow_close = threads_started;
    Sleep(200);
  }
  BOOL closed = CloseHandle(file);
  record(FileCall::CLOSE, file);
  return closed;
}

HANDLE WINAPI counted_thread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                             LPVOID parameter, DWORD flags, LPDWORD id) {
  ++threads_started;
  return CreateThread(attributes, stack, start, parameter, flags, id);
}

VORBEL_SCENARIO(closes_turning_slow) {
  start_unpacking(payload_of(many_files(40)), __wargv[2]);
  start_recording(0);
  slow_close_microseconds = 100000;
  SystemCallOverride open(system_calls.CreateFileW, recording_open);
  SystemCallOverride close(system_calls.CloseHandle, close_slow_at_the_sixth);
  SystemCallOverride thread(system_calls.CreateThread, counted_thread);
  unpack_payload(UNPACK_ALL_ENTRIES);
  end_unpack();
  std::vector<FileCall> opens = calls_of(FileCall::OPEN);
  std::vector<FileCall> closes = calls_of(FileCall::CLOSE);
  int closed_in_turn = 0;
  for (size_t at = 0; at + 1 < opens.size() && at < closes.size(); ++at) {
    if (closes[at].handle != opens[at].handle || closes[at].thread != GetCurrentThreadId()) break;
    if (closes[at].sequence > opens[at + 1].sequence) break;
    ++closed_in_turn;
  }
  printf("closed=%zu all=%d in_turn=%d threads_before=%d threads_after=%d\n", closes.size(),
         handles_of(closes) == handles_of(opens) ? 1 : 0, closed_in_turn, threads_at_the_slow_close,
         threads_started > 0 ? 1 : 0);
  return 0;
}

TEST(ClosingPool, TheWriterClosesQuickFilesItselfAndHandsOnEveryFileAfterASlowClose) {
  ScratchDir scratch;
  ProcessResult result = run_scenario("closes_turning_slow", {}, {scratch.str()});
  EXPECT_NE(result.out.find("closed=40 all=1 in_turn=6 threads_before=0 threads_after=1"), std::string::npos)
      << result.out << result.err;
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
  HandedOnFromTheFirst handed_on;
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

// Closes on the closing threads are slow (a bundle's flush): the drain calls
// the progress hook while it waits for them, so a progress window keeps
// answering. A drain that never calls it lets each close go after 5 s, and
// fails below. What the main thread takes from the queue itself it closes at
// once.
DWORD draining_thread;
std::atomic<int> progress_calls;
std::atomic<int> fewest_calls_while_held{1000};

void count_progress(uint64_t, uint64_t) { ++progress_calls; }

BOOL WINAPI close_held_until_progress_is_told(HANDLE file) {
  if (GetCurrentThreadId() != draining_thread) {
    const int before = progress_calls;
    for (int waited = 0; progress_calls < before + 3 && waited < 5000; ++waited) Sleep(1);
    int told = progress_calls - before;
    for (int fewest = fewest_calls_while_held; told < fewest;) {
      if (fewest_calls_while_held.compare_exchange_weak(fewest, told)) break;
    }
  }
  return CloseHandle(file);
}

TEST(ClosingPool, TheDrainTellsTheProgressWhileSlowClosesKeepItWaiting) {
  ScratchDir scratch;
  const std::vector<TestEntry> entries = many_files(20);
  start_unpacking(payload_of(entries), scratch.str());
  draining_thread = GetCurrentThreadId();
  HandedOnFromTheFirst handed_on;
  SystemCallOverride close(system_calls.CloseHandle, close_held_until_progress_is_told);
  unpack_progress_hook = count_progress;
  bool unpacked = unpack_all();
  unpack_progress_hook = nullptr;
  ASSERT_TRUE(unpacked);
  ASSERT_NE(fewest_calls_while_held.load(), 1000) << "no close ran on a closing thread";
  EXPECT_GE(fewest_calls_while_held.load(), 3);
  for (const TestEntry& entry : entries) EXPECT_EQ(read_file(scratch.path() / entry.name), entry.contents);
}

}  // namespace
