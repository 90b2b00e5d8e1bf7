// Failure messages and the ways the process ends after them.
// Runs on the main thread only; the console control handler never reports.
#include "common/error_report.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/bounded_text.h"
#include "common/error_dialog.h"

namespace {

void offer_dialog(const char* format, ...) {
  va_list values;
  va_start(values, format);
  offer_error_dialog(format, values);
  va_end(values);
}

}  // namespace

void fatal_error(const char* message) {
  puts(message);
  // Written out before a dialog can keep the process waiting.
  fflush(stdout);
  offer_dialog("%s", message);
  exit(2);
}

int print_error(const char* format, ...) {
  va_list values;
  va_start(values, format);
  _lock_file(stderr);
  int written = vfprintf(stderr, format, values);
  _unlock_file(stderr);
  va_end(values);
  va_start(values, format);
  offer_error_dialog(format, values);
  va_end(values);
  return written;
}

namespace {

// Stays null when the system has no text, which msvcrt's printf prints as
// "(null)"; the buffer is left to the process end, which follows at once.
char* system_text_of(DWORD code) {
  char* system_text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                 nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&system_text), 0,
                 nullptr);
  return system_text;
}

}  // namespace

void report_system_error(const char* message, DWORD code) {
  print_error("%s ([Error %ld] %s)\n", message, static_cast<long>(code), system_text_of(code));
}

void report_system_error_about(const char* message, const wchar_t* path, DWORD code) {
  print_error("%s '%ls' ([Error %ld] %s)\n", message, path, static_cast<long>(code), system_text_of(code));
}

void report_spec_error(const wchar_t* spec) {
  print_error("Error, couldn't runtime expand spec '%ls'.\n", spec);
  abort();
}
