// Closing unpacked files off the main thread. On Windows a new file is
// scanned when its handle is closed, 1 to 10 ms a file, and the closing
// thread waits for it: a few closing threads take that wait, so that the
// main thread writes the next file meanwhile. Called by the unpacking on the
// main thread only (drain_closing_pool from any thread).
#pragma once

#include <windows.h>

// Before the unpacking makes the directories and the file of an entry. Does
// not return once a removal of the extraction directory has begun.
void begin_unpacked_file();

// Between the writes of a file: when a removal waits, closes the file and
// gives up (does not return).
void give_up_if_removal_waits(HANDLE file);

// The entry's file is written: hands it on to be closed. The main thread
// closes it itself when every closing thread is busy and the queue is full,
// and when no closing thread can be started.
void finish_unpacked_file(HANDLE file);

// Waits until every handed-on file is closed, closing queued ones itself
// meanwhile. The child starts only after it, so the application never sees a
// file still open; a removal runs it too (drain_unpacked_files).
void drain_closing_pool();

// How many closing threads may be started; 0 closes every file on the main
// thread as it is finished. CLOSING_THREADS_MAX; only benchmarks and tests
// change it, before unpacking.
extern int closing_threads_limit;
