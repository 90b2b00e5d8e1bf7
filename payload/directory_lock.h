// The lock file of the extraction directory: made by the extracting instance
// as soon as the directory is private, opened by every re-launched instance
// before it loads the application, and held by each until its process ends.
// Windows only; every failure ends the process. Removing it is the cleanup's.
#pragma once

#include <stdint.h>
#include <wchar.h>

// The time a damaged bundle's lock is stamped with: 1980-01-01 UTC, long past
// any age a bundle is kept for, yet a time every file system keeps (0 would
// leave the time as it is, as SetFileTime reads 0 as "no change").
constexpr uint64_t BUNDLE_DAMAGED_USE_TIME = 119600064000000000ull;

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

// Sets the held lock's last-write time: to now when the bundle is used (the
// sweep keeps the most recently used bundles), or, when it was found damaged,
// to BUNDLE_DAMAGED_USE_TIME, which no sweep counts as recent. One system
// call on the handle held, which try_hold_extraction_dir_lock opens with the
// right to set it; nothing when no lock is held, and a time that cannot be
// set costs no more than a bundle swept early.
void stamp_extraction_dir_lock(bool damaged);

// Closes this process's lock, if it holds one: before its directory is
// renamed, which Windows refuses while a file below it is open.
void release_extraction_dir_lock();
