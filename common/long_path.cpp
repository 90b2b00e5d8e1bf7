// Long paths in the "\\?\" form; see long_path.h. Only full_root_form asks the
// system, and only about a path short enough for its documented limit.
#include "common/long_path.h"

#include <windows.h>

#include "common/bounded_text.h"
#include "common/launcher_names.h"
#include "common/system_calls.h"

namespace {

bool is_separator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// Appends the components from path on, each after one backslash; form->length
// never goes below floor, where the drive or share ends.
bool append_components(TextCursor* form, const wchar_t* path, size_t floor) {
  while (*path != L'\0') {
    while (is_separator(*path)) ++path;
    const wchar_t* end = path;
    while (*end != L'\0' && !is_separator(*end)) ++end;
    size_t length = static_cast<size_t>(end - path);
    if (length == 2 && path[0] == L'.' && path[1] == L'.') {
      size_t cut = form->length;
      while (cut > floor && form->text[cut - 1] != L'\\') --cut;
      text_cut(form, cut > floor ? cut - 1 : floor);
    } else if (length != 0 && !(length == 1 && path[0] == L'.')) {
      if (!text_try_append_unit(form, L'\\')) return false;
      for (const wchar_t* unit = path; unit < end; ++unit) {
        if (!text_try_append_unit(form, *unit)) return false;
      }
    }
    path = end;
  }
  return true;
}

}  // namespace

const wchar_t* long_path_form(const wchar_t* path, wchar_t (&buffer)[LONG_PATH_CAPACITY]) {
  if (wcsnlen(path, LONG_PATH_THRESHOLD) < LONG_PATH_THRESHOLD) return path;
  AbsolutePath kind = absolute_path_kind(path);
  if (kind != DRIVE_PATH && kind != NETWORK_PATH) return path;
  TextCursor form = text_start(buffer, LONG_PATH_CAPACITY);
  const wchar_t* rest = nullptr;
  bool fits = true;
  if (kind == DRIVE_PATH) {
    fits =
        text_try_append(&form, L"\\\\?\\") && text_try_append_unit(&form, path[0]) && text_try_append_unit(&form, L':');
    rest = path + 2;
  } else {
    // "\\server\share" goes behind "\\?\UNC" as "\server\share".
    fits = text_try_append(&form, L"\\\\?\\UNC");
    rest = path + 2;
    for (int name = 0; fits && name < 2; ++name) {
      while (is_separator(*rest)) ++rest;
      fits = text_try_append_unit(&form, L'\\');
      for (; fits && *rest != L'\0' && !is_separator(*rest); ++rest) fits = text_try_append_unit(&form, *rest);
    }
  }
  size_t floor = form.length;
  fits = fits && append_components(&form, rest, floor);
  // The root itself ("C:\"), and a path that ended with a separator, keep it.
  bool trailing = is_separator(path[wcslen(path) - 1]) || form.length == floor;
  if (fits && trailing) fits = text_try_append_unit(&form, L'\\');
  return fits ? buffer : path;
}

void full_root_form(wchar_t* root, size_t capacity) {
  AbsolutePath kind = absolute_path_kind(root);
  // "C:" is what a trimmed "C:\" leaves: its full path would be C's current
  // directory instead of its root, so it stays as it is.
  bool drive_alone = root[0] != L'\0' && root[1] == L':' && root[2] == L'\0';
  size_t length = wcsnlen(root, MAX_PATH);
  if (kind == DEVICE_PATH || drive_alone || length == 0 || length >= MAX_PATH) return;
  wchar_t full[MAX_PATH];
  DWORD full_length = system_calls.GetFullPathNameW(root, MAX_PATH, full, nullptr);
  if (full_length == 0 || full_length >= MAX_PATH || full_length >= capacity) return;
  copy_wide(root, capacity, full);
}
