// Process-wide state of one launcher run, shared by the run sequence, the
// unpacking, the child launch and the console-event thread's cleanup.
// Static, zero at start, written only through bounded copies.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "common/capacities.h"

// The extraction directory. Complete before the console handler is
// registered and never written afterwards; the unit after its NUL stays NUL,
// which makes it the double-NUL list the shell's delete request needs.
extern wchar_t extraction_dir[PATH_CAPACITY + 1];

// Set once the decoder is ready; from then on a cleanup deletes the directory.
// Only ever goes from false to true.
extern volatile LONG cleanup_armed;

// The running child, or null. Whoever takes it out with an atomic exchange
// owns it and closes it, so it is closed exactly once.
extern HANDLE volatile child_process;

// The child's exit status, once the main thread has read it after the
// child's end: written before child_ended is set, which happens before the
// main thread takes child_process out. So a console event that finds no
// child still finds the status of one that ended by itself.
extern volatile LONG child_ended;
extern DWORD child_end_status;

// Whether a thread has taken the end of the run (console_cleanup.h): goes
// from 0 to 1 once. Tests that end several runs in one process put it back.
extern volatile LONG run_end_taken;

// Full path of the first payload entry, the application DLL.
extern wchar_t first_entry_path[FIRST_ENTRY_PATH_CAPACITY];

// This process's handle on the extraction directory's lock file, or null.
// Whoever takes it out with an atomic exchange closes it, exactly once.
extern HANDLE volatile directory_lock;

// The lock file's path, complete before directory_lock is set and never
// written afterwards.
extern wchar_t directory_lock_path[PATH_CAPACITY];
