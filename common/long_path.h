// The form in which a path reaches a file call. Without the LongPathsEnabled
// policy (off by default) Windows refuses plain paths of 248 units and more
// for directories and 260 for files; the "\\?\" form has no such limit.
// Wine ignores the limit, so the tests check the form, not the failure.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "common/capacities.h"
#include "common/launcher_names.h"

// From this length on a path goes to file calls in the "\\?\" form: the
// directory limit, the lower of the two.
constexpr size_t LONG_PATH_THRESHOLD = PLAIN_DIRECTORY_PATH_LIMIT;

// path itself when it is shorter than the threshold, not absolute, or already
// in a device form; otherwise the "\\?\" form (a drive path) or "\\?\UNC\"
// form (a network path) of what the plain path names, written into buffer.
// Built from the units alone, never by GetFullPathNameW, whose documentation
// limits plain input to MAX_PATH: "/" becomes "\", runs of separators become
// one, "." components go and ".." takes the one before it away (never the
// drive or the share), because the "\\?\" form takes every unit literally.
// Trailing dots and blanks stay: no name the launcher builds has them below
// a root made by full_root_form. When the form does not fit, path itself, so
// that the call fails as it would have.
const wchar_t* long_path_form(const wchar_t* path, wchar_t (&buffer)[LONG_PATH_CAPACITY]);

// Rewrites root (a directory from outside: TEMP, LOCALAPPDATA, a cache root,
// the extraction directory) in place as the system's full path of it, once,
// while it is short enough for GetFullPathNameW's documented limit, so that
// every path built below it by appending names is full and takes the "\\?\"
// form when it grows long: "\onefile_1_2" (TEMP unavailable) becomes
// "C:\onefile_1_2". A device path, a drive alone ("C:", a trimmed "C:\"),
// a root of MAX_PATH units or more, one the call refuses, or one whose full
// form does not fit stays as it is (long_path_form still spells out a drive's
// or a server's path for the file calls).
void full_root_form(wchar_t* root, size_t capacity);
