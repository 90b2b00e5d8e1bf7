// The error dialog; see error_dialog.h. Runs on the main thread only. The
// text is what was written, through the ANSI code page as written, kept in
// static buffers until the process ends.
#include "common/error_dialog.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/capacities.h"
#include "common/system_calls.h"
#include "common/version_strings.h"

bool error_dialog_enabled = false;

namespace {

char dialog_text[ERROR_DIALOG_TEXT_CAPACITY];
size_t dialog_length = 0;
char dialog_line[ERROR_DIALOG_LINE_CAPACITY];
wchar_t dialog_wide_text[ERROR_DIALOG_TEXT_CAPACITY];
wchar_t dialog_title[ERROR_DIALOG_TITLE_CAPACITY];
wchar_t module_path[PATH_CAPACITY];

const char CUT_MARK[] = "...\n";

// The line in dialog_line, cut with CUT_MARK when it does not fit; its length.
size_t format_line(const char* format, va_list values) {
  // msvcrt's _vsnprintf returns -1 and leaves no NUL when the text is longer.
  int written = _vsnprintf(dialog_line, ERROR_DIALOG_LINE_CAPACITY - 1, format, values);
  if (written >= 0) {
    dialog_line[written] = '\0';
    return static_cast<size_t>(written);
  }
  size_t length = ERROR_DIALOG_LINE_CAPACITY - 1;
  memcpy(dialog_line + length - (sizeof CUT_MARK - 1), CUT_MARK, sizeof CUT_MARK);
  return length;
}

void keep_line(const char* format, va_list values, bool first) {
  if (!error_dialog_enabled) return;
  size_t length = format_line(format, values);
  // The text holds several whole lines; one more than fits is left out
  // rather than cut, and is still on the stream it was written to.
  if (length >= ERROR_DIALOG_TEXT_CAPACITY - dialog_length) return;
  size_t at = first ? 0 : dialog_length;
  memmove(dialog_text + at + length, dialog_text + at, dialog_length - at);
  memcpy(dialog_text + at, dialog_line, length);
  dialog_length += length;
  dialog_text[dialog_length] = '\0';
}

bool is_exe_suffix(const wchar_t* name) { return CompareStringOrdinal(name, -1, L".exe", -1, TRUE) == CSTR_EQUAL; }

}  // namespace

bool interactive_window_station() {
  HWINSTA station = system_calls.GetProcessWindowStation();
  if (station == nullptr) return false;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!system_calls.GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void offer_error_dialog(const char* format, va_list values) { keep_line(format, values, false); }

void offer_error_dialog_cause(const char* format, va_list values) { keep_line(format, values, true); }

void error_dialog_title(wchar_t* title, size_t capacity) {
  TextCursor cursor = text_start(title, capacity);
  // A title longer than the buffer is cut: the box shows it cut anyway.
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // VS_VERSION_INFO, RT_VERSION
  HGLOBAL loaded = found == nullptr ? nullptr : LoadResource(nullptr, found);
  const void* block = loaded == nullptr ? nullptr : LockResource(loaded);
  const uint8_t* name = nullptr;
  size_t units = 0;
  if (find_version_string(static_cast<const uint8_t*>(block), found == nullptr ? 0 : SizeofResource(nullptr, found),
                          "ProductName", &name, &units) &&
      units > 0) {
    for (size_t i = 0; i < units; ++i) {
      if (!text_try_append_unit(&cursor, static_cast<wchar_t>(name[2 * i] | name[2 * i + 1] << 8))) break;
    }
    return;
  }
  DWORD length = GetModuleFileNameW(nullptr, module_path, PATH_CAPACITY);
  if (length == 0 || length >= PATH_CAPACITY) return;
  wchar_t* file_name = wcsrchr(module_path, L'\\');
  file_name = file_name == nullptr ? module_path : file_name + 1;
  size_t name_length = wcslen(file_name);
  if (name_length > 4 && is_exe_suffix(file_name + name_length - 4)) file_name[name_length - 4] = L'\0';
  for (; *file_name != L'\0'; ++file_name) {
    if (!text_try_append_unit(&cursor, *file_name)) break;
  }
}

void show_error_dialog() {
  if (dialog_length == 0 || !interactive_window_station()) return;
  // The last line's feed would only add an empty line to the box.
  if (dialog_text[dialog_length - 1] == '\n') dialog_text[dialog_length - 1] = '\0';
  // Each byte becomes at most one unit, so the text always fits.
  if (MultiByteToWideChar(CP_ACP, 0, dialog_text, -1, dialog_wide_text, ERROR_DIALOG_TEXT_CAPACITY) == 0) return;
  error_dialog_title(dialog_title, ERROR_DIALOG_TITLE_CAPACITY);
  system_calls.MessageBoxW(nullptr, dialog_wide_text, dialog_title[0] == L'\0' ? nullptr : dialog_title,
                           MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  dialog_length = 0;
}
