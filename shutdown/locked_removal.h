// The removal of a directory guarded by a lock file that every process using
// it holds open: the run's cleanup, the sweep of leftovers and the cached
// mode's working directories all remove this way. Silent; never follows a
// link, never removes what a process still holds.
#pragma once

#include <windows.h>

enum LockedRemoval {
  REMOVAL_DONE,          // root is gone
  REMOVAL_LEFT_SOME,     // something could not be removed (a held file); the lock stays
  REMOVAL_STOPPED,       // stop said so; the lock stays
  REMOVAL_REFUSED_LINK,  // a link stands at root: nothing was touched
};

// The text after path's last separator, "\\" or "/" (all of it when it has none).
const wchar_t* last_component(const wchar_t* path);

// The removal both the cleanup and the sweep of leftovers use, unless a link
// stands at root: the walk, which never enters a reparse point and passes
// over what cannot be removed (a held file) and the lock, then, when nothing
// else is left, the lock (lock_path; lock its open handle, null for none)
// closed and deleted, then root. So the lock goes last, and a removal that
// is cut short, by stop (asked between two entries) or by the process's end,
// leaves it for the next run. The lock's handle is closed in every case.
LockedRemoval remove_locked_directory(const wchar_t* root, HANDLE lock, const wchar_t* lock_path, bool (*stop)());
