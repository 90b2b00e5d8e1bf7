// The launcher's own executable path, plain (as the module name) and resolved
// (final path, no "\\?\" prefix, directories in short form), each cached for
// the life of the process. Resolved paths compare as plain strings.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "common/capacities.h"


// The cached form; never changed or freed by callers.
const wchar_t* get_executable_path(bool resolved);

// Brings the path of an existing file in buffer into resolved form in place;
// a file that cannot be opened ends the process.
void resolve_final_path(wchar_t* buffer, size_t capacity);

// The same, but false, with buffer unchanged, when the file cannot be opened
// (GetLastError() says why).
bool resolve_existing_final_path(wchar_t* buffer, size_t capacity);

// Rewrites the directory part of path into short form, in place.
void to_short_path(wchar_t* path, size_t capacity);
