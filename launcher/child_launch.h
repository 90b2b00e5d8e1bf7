// Starting the launcher's own executable again as the re-launched instance,
// with the user's arguments re-quoted, and waiting for it.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "common/bounded_text.h"
#include "common/capacities.h"

extern wchar_t child_command_line[COMMAND_LINE_CAPACITY];

// Sets VORBEL_ONEFILE_DIRECTORY and VORBEL_ORIGINAL_ARGV0, starts the child,
// waits, cleans up and returns the child's exit code (1 when it cannot be
// read). Does not return when the child cannot be started.
int launch_child_and_wait();

// Sets VORBEL_ONEFILE_DIRECTORY and VORBEL_ORIGINAL_ARGV0 for the
// application, from this process's executable and argument 0, through set:
// set_env_narrow where the application runs in this process,
// set_child_env_narrow where it runs in the child.
void set_launch_variables(void (*set)(const char* name, const wchar_t* value));

// This process's module path, as GetModuleFileNameW gives it: the child's
// argument 0.
wchar_t* launcher_module();

// child_command_line from the launcher's own command line, argument 0
// replaced by the module path.
void build_child_command_line();

// Appends one argument to a command line, quoted so that the usual Windows
// splitting gives it back unchanged.
void append_argument(TextCursor* line, const wchar_t* argument);
