// Writes the payload's entries below the extraction directory, making the
// directories their names call for, and records the application DLL's path.
// Runs on the main thread; every failure ends the process. The files are
// closed by the closing pool (closing_pool.h): end_unpack waits for them.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>
#include <windows.h>

enum UnpackMode {
  UNPACK_ALL_ENTRIES,      // extracting instance: every entry, then the stream is released
  UNPACK_FIRST_NAME_ONLY,  // re-launched instance: only the first name, the stream stays open
};

enum ExtractionDirectory {
  MAKE_EXTRACTION_DIR,  // made (or a directory found there checked) before the first entry
  EXTRACTION_DIR_MADE,  // made for this user alone by the caller just now
};

// Begins an unpack into directory, which becomes extraction_dir (it may be
// extraction_dir itself): nothing of an earlier one in this process carries
// over (the directory's privacy, the directories known to exist, the
// application DLL's path).
void begin_unpack(const wchar_t* directory, ExtractionDirectory state = MAKE_EXTRACTION_DIR);

// The same for a directory unpacked before (a kept bundle), which this run
// uses as it stands.
void use_unpacked_directory(const wchar_t* directory);

// True when the payload held an entry, so that first_entry_path is set;
// false for an empty payload.
bool unpack_payload(UnpackMode mode);

// Ends it: every file written is closed (the closing pool drained), so that
// the directory can be used or renamed.
void end_unpack();

// The unpacked directory was renamed to directory: extraction_dir and the
// application DLL's path follow it.
void follow_unpacked_directory(const wchar_t* directory);

// Nothing of any unpack stays in effect: extraction_dir is empty again.
void forget_unpack();

// Whether the payload holds an entry of that name below the extraction
// directory ("\\" separators, letter case ignored), by a walk of every name
// from the first entry again (the stream opened again if an unpack closed
// it); nothing is written. False for a run that never opened the stream (a
// later start of the cached mode) and for a payload that cannot be read.
bool payload_holds_name(const wchar_t* name);

// Writes count bytes to file, however many calls that takes; a failed call,
// or one that writes nothing, ends the run with the write error.
void write_whole(HANDLE file, const uint8_t* bytes, size_t count);

// When set, told of every entry as its file is begun: its name below the
// extraction directory ("\\" separators) and its size.
extern void (*unpacked_entry_hook)(const wchar_t* name, uint64_t size);

// When set, told how far the unpack has come as it writes: the compressed
// bytes the decoder has taken out of the payload's, which every payload
// knows (a frame may not declare its decoded size).
extern void (*unpack_progress_hook)(uint64_t done, uint64_t total);

// Set once the extraction directory exists with its user-only DACL; no file
// is opened below it before.
extern bool extraction_dir_private;
