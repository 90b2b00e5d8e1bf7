// Failure messages and the ways the process ends after them.
// Runs on the main thread only; the console control handler never reports.
#include "common/error_report.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/error_dialog.h"
#include "common/unpack_progress.h"

namespace {

int write_error(const char* format, va_list values) {
  // A failure's line never lands behind the progress line, nor its dialog
  // beside the progress window.
  end_unpack_progress();
  _lock_file(stderr);
  int written = vfprintf(stderr, format, values);
  _unlock_file(stderr);
  return written;
}

void offer_dialog(const char* format, ...) {
  va_list values;
  va_start(values, format);
  offer_error_dialog(format, values);
  va_end(values);
}

// The line on standard error, and kept for the dialog (ahead of the others
// when it names their cause).
int report_line(bool cause, const char* format, va_list values) {
  va_list for_dialog;
  va_copy(for_dialog, values);
  int written = write_error(format, values);
  if (cause) {
    offer_error_dialog_cause(format, for_dialog);
  } else {
    offer_error_dialog(format, for_dialog);
  }
  va_end(for_dialog);
  return written;
}

void show_report() {
  // Written out before a dialog can keep the process waiting.
  fflush(stdout);
  show_error_dialog();
}

}  // namespace

void end_after_report(int status) {
  show_report();
  exit(status);
}

void fatal_error(const char* message) {
  end_unpack_progress();
  puts(message);
  offer_dialog("%s\n", message);
  end_after_report(2);
}

int print_error(const char* format, ...) {
  va_list values;
  va_start(values, format);
  int written = report_line(false, format, values);
  va_end(values);
  return written;
}

void print_error_cause(const char* format, ...) {
  va_list values;
  va_start(values, format);
  report_line(true, format, values);
  va_end(values);
}

namespace {

// Stays null when the system has no text, which msvcrt's printf prints as
// "(null)"; the buffer is left to the process end, which follows at once.
char* system_text_of(DWORD code) {
  char* system_text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                 code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&system_text), 0, nullptr);
  return system_text;
}

// The system's texts end with a line break, which the stream keeps as it
// always had; in the dialog it would leave the closing ")" on a line alone.
// text is among the values, so the dialog's copy of them sees it trimmed.
void report_with_system_text(char* text, const char* format, ...) {
  va_list values;
  va_start(values, format);
  va_list for_dialog;
  va_copy(for_dialog, values);
  write_error(format, values);
  for (size_t length = text == nullptr ? 0 : strlen(text);
       length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r');)
    text[--length] = '\0';
  offer_error_dialog(format, for_dialog);
  va_end(for_dialog);
  va_end(values);
}

}  // namespace

void report_system_error(const char* message, DWORD code) {
  char* text = system_text_of(code);
  report_with_system_text(text, "%s ([Error %ld] %s)\n", message, static_cast<long>(code), text);
}

void report_system_error_about(const char* message, const wchar_t* path, DWORD code) {
  char* text = system_text_of(code);
  report_with_system_text(text, "%s '%ls' ([Error %ld] %s)\n", message, path, static_cast<long>(code), text);
}

void report_spec_error(const wchar_t* spec) {
  print_error("Error, couldn't runtime expand spec '%ls'.\n", spec);
  show_report();
  abort();
}
