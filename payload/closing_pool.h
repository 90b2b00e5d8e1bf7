// Closing unpacked files off the main thread: a scanner on Windows runs when a new
// file is closed (1-10 ms) and the closer waits, so closing threads wait while the
// main thread writes on. Called by the main thread (the drain from any); loses no file.
#pragma once

#include <windows.h>

// Before the unpacking makes the directories and the file of an entry. Does
// not return once a removal of the extraction directory has begun.
void begin_unpacked_file();

// Between the writes of a file: when a removal waits, closes the file and
// gives up (does not return).
void give_up_if_removal_waits(HANDLE file);

// The entry's file is written: hands it on to be closed. The main thread
// closes it itself until one of its closes is slow (slow_close_microseconds),
// when every closing thread is busy and the queue is full, and when no
// closing thread can be started.
void finish_unpacked_file(HANDLE file);

// Waits until every handed-on file is closed, closing queued ones itself
// meanwhile. The child starts only after it, so the application never sees a
// file still open; a removal runs it too (drain_unpacked_files).
void drain_closing_pool();

// The same, calling between_waits (on this thread, outside the pool's lock)
// after every wait_ms that the closing threads still take: the main thread
// keeps its progress window answering while a bundle's files are flushed.
void drain_closing_pool_between_waits(void (*between_waits)(), DWORD wait_ms);

// Whether each file is flushed to the disk before it is closed, on the
// closing threads: for a bundle that is kept, whose files must not come back
// from a power cut with their size and without their data. Set before
// unpacking, cleared after the drain.
extern bool flush_unpacked_files;

// How many closing threads may be started; 0 closes every file on the main
// thread as it is finished. CLOSING_THREADS_MAX; only benchmarks and tests
// change it, before unpacking.
extern int closing_threads_limit;

// How long one close on the main thread may take before every later file is
// handed on; 0 hands on from the first file. SLOW_CLOSE_MICROSECONDS; only
// tests change it, before unpacking.
extern unsigned slow_close_microseconds;
