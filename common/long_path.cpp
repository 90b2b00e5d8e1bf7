// Long paths in the "\\?\" form; see long_path.h.
#include "common/long_path.h"

#include <windows.h>

#include "common/bounded_text.h"
#include "common/system_calls.h"

namespace {

bool is_drive_path(const wchar_t* path) {
  return ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) && path[1] == L':' &&
         (path[2] == L'\\' || path[2] == L'/');
}

bool is_separator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// "\\server\share": two separators, then a server name. "\\?\" and "\\.\"
// are device forms and are passed on as they stand.
bool is_network_path(const wchar_t* path) {
  return is_separator(path[0]) && is_separator(path[1]) && path[2] != L'\0' && !is_separator(path[2]) &&
         !((path[2] == L'?' || path[2] == L'.') && is_separator(path[3]));
}

}  // namespace

const wchar_t* long_path_form(const wchar_t* path, wchar_t (&buffer)[LONG_PATH_CAPACITY]) {
  if (wcsnlen(path, LONG_PATH_THRESHOLD) < LONG_PATH_THRESHOLD) return path;
  bool network = is_network_path(path);
  if (!network && !is_drive_path(path)) return path;
  wchar_t full[LONG_PATH_CAPACITY];
  DWORD length = system_calls.GetFullPathNameW(path, LONG_PATH_CAPACITY, full, nullptr);
  if (length == 0 || length >= LONG_PATH_CAPACITY) return path;
  if (network && !(full[0] == L'\\' && full[1] == L'\\')) return path;
  // "\\server\share" goes behind "\\?\UNC" with one of its two backslashes.
  TextCursor form = text_start(buffer, LONG_PATH_CAPACITY);
  bool fits = network ? text_try_append(&form, L"\\\\?\\UNC") && text_try_append(&form, full + 1)
                      : text_try_append(&form, L"\\\\?\\") && text_try_append(&form, full);
  return fits ? buffer : path;
}
