// Long paths in the "\\?\" form; see long_path.h.
#include "common/long_path.h"

#include <windows.h>

#include "common/bounded_text.h"
#include "common/launcher_names.h"
#include "common/system_calls.h"

const wchar_t* long_path_form(const wchar_t* path, wchar_t (&buffer)[LONG_PATH_CAPACITY]) {
  if (wcsnlen(path, LONG_PATH_THRESHOLD) < LONG_PATH_THRESHOLD) return path;
  AbsolutePath kind = absolute_path_kind(path);
  if (kind != DRIVE_PATH && kind != NETWORK_PATH) return path;
  bool network = kind == NETWORK_PATH;
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
