// The lock file of the extraction directory: made by the extracting instance
// as soon as the directory is private, opened by every re-launched instance
// before it loads the application, and held by each until its process ends.
// Windows only; every failure ends the process. Removing it is the cleanup's.
#pragma once

#include <wchar.h>

// Makes (or opens) the lock in extraction_dir and keeps it open without
// delete sharing; directory_lock and directory_lock_path are set.
void lock_extraction_dir();

// Opens the lock the extracting instance made and keeps it open without
// delete sharing: a later run's sweep then leaves the directory alone for as
// long as this process lives.
void join_extraction_dir_lock();

// The same as join_extraction_dir_lock, the lock made when it is missing,
// without ending the process: false (and no lock held) when it cannot be
// had, as while another run's removal holds it.
bool try_hold_extraction_dir_lock();

// Closes this process's lock, if it holds one: before its directory is
// renamed, which Windows refuses while a file below it is open.
void release_extraction_dir_lock();
