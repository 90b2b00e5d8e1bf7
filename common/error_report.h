// The launcher's failure reporting: one line of narrow text beginning with
// "Error, " on standard output or standard error, then the process ends.
// Nothing here cleans up: the extraction directory stays as it is.
#pragma once

#include <windows.h>

// The message and a line feed on standard output, then exit status 2.
[[noreturn]] void fatal_error(const char* message);

// "%s ([Error %ld] %s)\n" on standard error with the system's English text for
// code; the caller ends the process right after.
void report_system_error(const char* message, DWORD code);

// The same with a path: "%s '%ls' ([Error %ld] %s)\n".
void report_system_error_about(const char* message, const wchar_t* path, DWORD code);

// "Error, couldn't runtime expand spec '%ls'.\n" on standard error, then abort.
[[noreturn]] void report_spec_error(const wchar_t* spec);

// Formatted print to standard error, as one piece under the stream's lock.
int print_error(const char* format, ...);
