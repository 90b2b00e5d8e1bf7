// Making directories with their missing ancestors, and remembering which
// exist, so that an unpack of thousands of entries asks the system about a
// directory once. Windows only; a directory that cannot be made is not
// reported here: the file that needs it fails to open, and that is reported.
#pragma once

#include <wchar.h>

// Where a climb up from a missing directory stops for good: the user's home
// directory, which find_home writes into home (PATH_CAPACITY units). Asked
// for only when a climb begins, so that a run whose parents exist never looks
// it up (the profile folder costs shell32's load); without one a climb goes
// on until a directory exists.
void set_directory_home_source(void (*find_home)(wchar_t* home));

// Makes sure the directory that holds path exists, making missing ancestors.
void create_directory_path(const wchar_t* path);

// Makes sure one directory exists (its parent must); false when it cannot be made.
bool create_directory(const wchar_t* path);

// path exists (made elsewhere): a climb stops there.
void remember_directory(const wchar_t* path);

// Empties the cache (and what indexes it), as at process start.
void forget_known_directories();
