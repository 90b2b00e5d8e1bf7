// Failure messages and the ways the process ends after them.
// Runs on the main thread only; the console control handler never reports.
#include "shutdown/error_report.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/bounded_text.h"

void fatal_error(const char* message) {
  puts(message);
  exit(2);
}

int print_error(const char* format, ...) {
  va_list values;
  va_start(values, format);
  _lock_file(stderr);
  int written = vfprintf(stderr, format, values);
  _unlock_file(stderr);
  va_end(values);
  return written;
}

void report_system_error(const char* message, DWORD code) {
  char* system_text = nullptr;  // stays null when the system has no text; printed as "(null)"
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                 nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&system_text), 0,
                 nullptr);
  // msvcrt's printf prints a null %s as "(null)"; the buffer is left to the
  // process end, which follows at once.
  print_error("%s ([Error %ld] %s)\n", message, static_cast<long>(code), system_text);
}

void report_spec_error(const wchar_t* spec) {
  print_error("Error, couldn't runtime expand spec '%ls'.\n", spec);
  abort();
}
