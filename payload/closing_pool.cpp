// The closing threads and their queue; see closing_pool.h. Takes no heap (a static
// ring under one slim lock, never held across a close) and never leaves a handed-on
// file without a thread to close it: what cannot be queued, the caller closes.
#include "payload/closing_pool.h"

#include "common/capacities.h"
#include "common/system_calls.h"
#include "common/unpack_gate.h"

int closing_threads_limit = CLOSING_THREADS_MAX;
unsigned slow_close_microseconds = SLOW_CLOSE_MICROSECONDS;
bool flush_unpacked_files = false;

namespace {

// The main thread's alone: set once one of its closes was slow, and for good.
bool closes_are_slow;

SRWLOCK pool_lock = SRWLOCK_INIT;
CONDITION_VARIABLE file_queued = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE all_closed = CONDITION_VARIABLE_INIT;

// Under pool_lock: files waiting for a thread, the oldest at queue_head.
HANDLE queued_files[CLOSING_QUEUE_CAPACITY];
size_t queue_head;
size_t queue_length;
// Handed on and not yet closed: queued, or being closed.
size_t unclosed_files;
// Threads started, and those of them not closing a file (waiting, or started
// and not yet running).
int closing_threads;
int idle_closing_threads;

// Under pool_lock, with a file queued.
HANDLE take_queued_file() {
  HANDLE file = queued_files[queue_head];
  queue_head = (queue_head + 1) % CLOSING_QUEUE_CAPACITY;
  --queue_length;
  return file;
}

void close_unpacked_file(HANDLE file) {
  // A failed flush leaves the file as every unflushed file is: the bundle's
  // check still finds a file cut short.
  if (flush_unpacked_files) system_calls.FlushFileBuffers(file);
  system_calls.CloseHandle(file);
}

// Closes the file on this thread and tells whether that was quick, which as
// long as closes are quick costs less than handing it on.
bool closed_quickly(HANDLE file) {
  LARGE_INTEGER frequency, before, after;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&before);
  close_unpacked_file(file);
  QueryPerformanceCounter(&after);
  LONGLONG bound = static_cast<LONGLONG>(slow_close_microseconds) * frequency.QuadPart;
  return (after.QuadPart - before.QuadPart) * 1000000 < bound;
}

// Under pool_lock, after a close.
void count_closed_file() {
  if (--unclosed_files == 0) WakeAllConditionVariable(&all_closed);
}

// Runs until the process ends, waiting between files.
DWORD WINAPI closing_thread(void*) {
  AcquireSRWLockExclusive(&pool_lock);
  for (;;) {
    while (queue_length == 0) SleepConditionVariableSRW(&file_queued, &pool_lock, INFINITE, 0);
    HANDLE file = take_queued_file();
    --idle_closing_threads;
    ReleaseSRWLockExclusive(&pool_lock);
    close_unpacked_file(file);
    AcquireSRWLockExclusive(&pool_lock);
    ++idle_closing_threads;
    count_closed_file();
  }
}

// Counted as started (and idle) by the caller already. When the system
// starts no thread and none runs, the files queued so far are closed here;
// the next file tries again.
void start_closing_thread() {
  HANDLE thread = system_calls.CreateThread(nullptr, CLOSING_THREAD_STACK, closing_thread, nullptr,
                                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread != nullptr) {
    CloseHandle(thread);
    return;
  }
  AcquireSRWLockExclusive(&pool_lock);
  --closing_threads;
  --idle_closing_threads;
  bool none_runs = closing_threads == 0;
  ReleaseSRWLockExclusive(&pool_lock);
  if (none_runs) drain_closing_pool();
}

}  // namespace

void begin_unpacked_file() {
  // Set before the gate is entered (an atomic exchange, so a full barrier):
  // a removal that shuts the gate after a hand-on sees it.
  drain_unpacked_files = drain_closing_pool;
  if (!unpack_gate_enter()) unpack_gate_give_up();
}

void give_up_if_removal_waits(HANDLE file) {
  if (!unpack_gate_stop_asked()) return;
  system_calls.CloseHandle(file);
  unpack_gate_give_up();
}

void finish_unpacked_file(HANDLE file) {
  if (!closes_are_slow && slow_close_microseconds != 0) {
    closes_are_slow = !closed_quickly(file);
    unpack_gate_leave();
    return;
  }
  AcquireSRWLockExclusive(&pool_lock);
  bool queued = closing_threads_limit > 0 && queue_length < CLOSING_QUEUE_CAPACITY;
  bool start_thread = false;
  if (queued) {
    queued_files[(queue_head + queue_length) % CLOSING_QUEUE_CAPACITY] = file;
    ++queue_length;
    ++unclosed_files;
    // Threads mostly wait for the scanner, not for a processor: one more
    // starts whenever the queue outgrows the threads free to take it.
    start_thread = queue_length > static_cast<size_t>(idle_closing_threads) && closing_threads < closing_threads_limit;
    if (start_thread) {
      ++closing_threads;
      ++idle_closing_threads;
    }
  }
  ReleaseSRWLockExclusive(&pool_lock);
  if (!queued) {
    // Every thread is busy and the queue full: the writer could only wait,
    // so it closes this one itself, as one more closing thread.
    close_unpacked_file(file);
  } else {
    if (start_thread) start_closing_thread();
    WakeConditionVariable(&file_queued);
  }
  unpack_gate_leave();
}

void drain_closing_pool() { drain_closing_pool_between_waits(nullptr, 0); }

void drain_closing_pool_between_waits(void (*between_waits)(), DWORD wait_ms) {
  AcquireSRWLockExclusive(&pool_lock);
  while (unclosed_files != 0) {
    if (queue_length == 0) {
      if (between_waits == nullptr) {
        SleepConditionVariableSRW(&all_closed, &pool_lock, INFINITE, 0);
      } else if (!SleepConditionVariableSRW(&all_closed, &pool_lock, wait_ms, 0)) {
        ReleaseSRWLockExclusive(&pool_lock);
        between_waits();
        AcquireSRWLockExclusive(&pool_lock);
      }
      continue;
    }
    HANDLE file = take_queued_file();
    ReleaseSRWLockExclusive(&pool_lock);
    close_unpacked_file(file);
    AcquireSRWLockExclusive(&pool_lock);
    count_closed_file();
  }
  ReleaseSRWLockExclusive(&pool_lock);
}
