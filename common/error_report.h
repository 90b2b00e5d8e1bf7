// The launcher's failure reporting: lines of narrow text beginning with
// "Error, " on standard output or standard error, then the process ends
// through end_after_report (or abort), which shows them in one error dialog
// when the program was packed for one. Nothing here cleans up: the extraction
// directory stays as it is.
#pragma once

#include <windows.h>

// The message and a line feed on standard output, then exit status 2.
[[noreturn]] void fatal_error(const char* message);

// "%s ([Error %ld] %s)\n" on standard error with the system's English text for
// code; the caller ends the process right after, with end_after_report.
void report_system_error(const char* message, DWORD code);

// The same with a path: "%s '%ls' ([Error %ld] %s)\n".
void report_system_error_about(const char* message, const wchar_t* path, DWORD code);

// "Error, couldn't runtime expand spec '%ls'.\n" on standard error, then abort.
[[noreturn]] void report_spec_error(const wchar_t* spec);

// Formatted print to standard error, as one piece under the stream's lock.
int print_error(const char* format, ...);

// The same for a line naming the cause of a failure reported before it: the
// stream gets it after that report, the dialog before it.
void print_error_cause(const char* format, ...);

// Every failure's end: the dialog of the lines reported, then exit(status).
[[noreturn]] void end_after_report(int status);
