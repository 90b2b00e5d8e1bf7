// Long paths in the "\\?\" form; see long_path.h.
#include "common/long_path.h"

#include <windows.h>

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
  // The full path goes where it ends up behind the prefix: of a network
  // path's own leading "\\", the first becomes the "C" of "\\?\UNC\" and
  // the second stays as its last unit.
  static const wchar_t drive_prefix[] = L"\\\\?\\";
  static const wchar_t network_prefix[] = L"\\\\?\\UNC";
  const size_t offset = network ? 6 : 4;
  DWORD room = static_cast<DWORD>(LONG_PATH_CAPACITY - offset);
  DWORD length = GetFullPathNameW(path, room, buffer + offset, nullptr);
  if (length == 0 || length >= room) return path;
  if (network && !(buffer[offset] == L'\\' && buffer[offset + 1] == L'\\')) return path;
  wmemcpy(buffer, network ? network_prefix : drive_prefix, network ? 7 : 4);
  return buffer;
}
