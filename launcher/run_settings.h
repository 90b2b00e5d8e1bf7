// The pack-time settings of this run, read from the launcher's own RT_RCDATA
// 28 resource, and the argument vector they make for run_code.
// An image without the record runs as if every setting were off.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "payload/launch_settings_format.h"

// Finds, checks and takes the record. A damaged one ends the process with
// "Error, the packed program's settings are damaged." and status 2.
void load_launch_settings();

// The same for a record at hand (size 0: none); tests hand theirs in here.
void use_launch_settings(const uint8_t* record, size_t size);

// The user's arguments go to run_code exactly as the command line splits.
bool exact_arguments_wanted();

// The cached mode's choices as wide text, each NUL-ended; root is the
// default spec when the record gives none.
struct CacheChoice {
  wchar_t application[LAUNCH_APPLICATION_NAME_MAX_UNITS + 1];
  wchar_t bundle_id[LAUNCH_BUNDLE_ID_UNITS + 1];
  wchar_t root[LAUNCH_CACHE_ROOT_MAX_UNITS + 1];
};

// Whether the record asks for the cached mode; *choice is filled when it does.
bool cached_mode_wanted(CacheChoice* choice);

// run_code's arguments: argument 0, the built-in arguments with {CONTENTS}
// as the extraction directory, then the user's, which are __wargv's (split
// and expanded by the runtime) or, with exact arguments, this process's
// command line split by CommandLineToArgvW's rules. Allocated once and never
// freed; ends the process when memory runs out. drop_empty leaves out the
// user's empty arguments (not with exact arguments), as a re-launched
// instance's runtime does when its line is built from the user's.
wchar_t** application_arguments(int* count, bool drop_empty = false);
