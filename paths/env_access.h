// Access to the process environment for the launcher's own variables.
// Names are narrow ASCII, widened one character at a time; values are read
// through the wide functions only. An empty value counts as absent.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "common/capacities.h"

// Heap copy (_wcsdup) of the variable's value, or null when it is absent,
// empty or longer than the system allows. The caller frees it.
wchar_t* get_env_copy(const wchar_t* name);
wchar_t* get_env_copy_narrow(const char* name);

// Wide form of a narrow name into a buffer of VARIABLE_NAME_CAPACITY units;
// aborts on a name of 40 characters or more, or a character that does not
// become exactly one unit.
void widen_name(const char* name, wchar_t* wide_name);

// One narrow character as exactly one wide unit (mbstowcs); aborts otherwise.
wchar_t widen_char(char c);

// A process id in decimal, digits only, widened, into text (capacity units).
// Process ids stay below 2^31, where this is what "%ld" gives.
void format_process_id(unsigned long id, wchar_t* text, size_t capacity);

// The own process id, as format_process_id writes it.
void format_own_process_id(wchar_t* text, size_t capacity);

// Sets (value non-null) or removes (value null) a variable named in narrow
// text, in the process environment and in msvcrt's copies of it, so that
// getenv, _wgetenv and _wenviron of a DLL loaded later see the change. The
// result is not tested: nothing the launcher does depends on it.
void set_env_narrow(const char* name, const wchar_t* value);

// As set_env_narrow, in the process environment alone: for the processes
// this one starts, where no application code runs in this one (the
// extracting instance). Under Wine each change of msvcrt's copies rebuilds
// them whole, some 45 microseconds.
void set_child_env_narrow(const char* name, const wchar_t* value);
