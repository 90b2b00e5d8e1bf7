// Writes the payload's entries below the extraction directory, making the
// directories their names call for, and records the application DLL's path.
// Runs on the main thread; every failure ends the process. The files are
// closed by the closing pool (closing_pool.h): drain it before they are used.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

enum UnpackMode {
  UNPACK_ALL_ENTRIES,      // extracting instance: every entry, then the stream is released
  UNPACK_FIRST_NAME_ONLY,  // re-launched instance: only the first name, the stream stays open
};

// True when the payload held an entry, so that first_entry_path is set;
// false for an empty payload.
bool unpack_payload(UnpackMode mode);

// Makes sure the directory that holds path exists, making missing ancestors.
void create_directory_path(const wchar_t* path);

// Makes sure one directory exists (its parent must); false when it cannot be made.
bool create_directory(const wchar_t* path);

// Empties the cache (and what indexes it), as at process start. The launcher
// never needs it; tests that unpack more than once in one process do.
void forget_known_directories();

// When set, told of every entry as its file is begun: its name below the
// extraction directory ("\\" separators) and its size.
extern void (*unpacked_entry_hook)(const wchar_t* name, uint64_t size);

// Set once the extraction directory exists with its user-only DACL (made by
// create_directory); no file is opened below it before.
extern bool extraction_dir_private;
