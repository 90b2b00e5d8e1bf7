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
// in a device form; otherwise its full form behind "\\?\" (a drive path) or
// "\\?\UNC\" (a network path), written into buffer. The full form is what the
// plain path would have meant: "/" as "\", "." and ".." resolved, because the
// "\\?\" form takes every unit literally. When that cannot be had, path
// itself, so that the call fails as it would have.
const wchar_t* long_path_form(const wchar_t* path, wchar_t (&buffer)[LONG_PATH_CAPACITY]);
