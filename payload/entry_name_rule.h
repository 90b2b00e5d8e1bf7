// The rule every entry name must meet before the launcher writes anything for
// it, shared with the build tool so that a name one accepts the other does too.
// Portable: plain functions over UTF-16 units, no platform headers, no allocation.
#pragma once

#include <stddef.h>

#include "common/launcher_names.h"

// Whether the entry name (length units) is the lock's (DIRECTORY_LOCK_NAME),
// letter case ignored.
bool entry_name_is_directory_lock(const char16_t* name, size_t length);

// Whether the entry name (length units) is the bundle record's
// (BUNDLE_RECORD_NAME, payload/bundle_record.h), letter case ignored.
bool entry_name_is_bundle_record(const char16_t* name, size_t length);

// When the component (length units, not NUL-terminated) makes Windows open a
// device instead of a file, the length of the device's name at its start
// ("NUL" of "nul .txt", "COM1" of "com1.log"); otherwise 0. Windows ignores
// the extension and the blanks before it, and letter case.
size_t device_name_length(const char16_t* component, size_t length);

// Whether the NUL-terminated name, appended to the extraction directory after
// a backslash, names a file below it: not absolute, no drive or stream colon,
// no component Windows reads as the parent, and no device. "/" separates
// components for Windows as "\" does, so both count.
bool entry_name_stays_inside(const char16_t* name);
