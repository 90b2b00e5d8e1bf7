// Kept bundle directories of the cached mode: whose a directory is, the
// record a first start writes while it unpacks, the check a later start makes
// instead of unpacking, and the move of a finished directory into place.
// Windows only; failures to write end the process, failures to read only
// make a directory not whole.
#pragma once

#include <stdint.h>
#include <wchar.h>

enum OwnDirectory {
  OWN_DIRECTORY,         // a real directory, the current user's
  NO_DIRECTORY,          // nothing stands at the path
  FOREIGN_DIRECTORY,     // a link, another owner, a file: never used, never removed
  UNREADABLE_DIRECTORY,  // the check itself failed
};

// Opens path as itself (a link is refused, not followed) and reads its owner
// through that handle.
OwnDirectory check_own_directory(const wchar_t* path);

// Starts the record of extraction_dir for bundle_id (LAUNCH_BUNDLE_ID_UNITS units):
// its file is made now, before the first entry, and every entry unpacked
// from here on is added to it.
void begin_bundle_record(const wchar_t* bundle_id);

// Ends the record and closes its file; every entry's file must be closed
// already (the closing pool drained), so that the record is the last write.
void finish_bundle_record();

// Whether the bundle directory holds every file its record names, each with
// its size, and the record is whole and for bundle_id. When it is, the
// application DLL's path (the record's first entry) is in first_entry_path.
bool bundle_is_whole(const wchar_t* bundle, const wchar_t* bundle_id);

// After the application's DLL failed to load from bundle: whether a file its
// record names is at fault (gone, or the application DLL or a ".dll" or
// ".exe" whose first bytes are no image: data lost by a power cut keeps the
// size that the check looks at). When one is, the record is removed, so that
// the next start takes the bundle for damaged and unpacks anew; a DLL of the
// system, or one that was never packed, marks nothing.
bool mark_bundle_damaged_if_at_fault(const wchar_t* bundle, const wchar_t* bundle_id);

// Renames the finished working directory to bundle. False when that fails,
// GetLastError() saying why (a directory already there: another first start
// won).
bool move_bundle_into_place(const wchar_t* working, const wchar_t* bundle);
