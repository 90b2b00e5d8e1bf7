// Own executable path in plain and resolved form; see exe_path.h.
// Every step writes within the capacity it is given and aborts otherwise; a
// path never comes back without its file name.
#include "paths/exe_path.h"

#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/system_calls.h"

namespace {

wchar_t plain_cache[EXE_PATH_CAPACITY];
wchar_t resolved_cache[EXE_PATH_CAPACITY];

using GetFinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// The module's path into buffer. A path that does not fit comes back cut and
// terminated all the same: only its length tells, as the room or more.
void read_module_path(wchar_t* buffer, size_t capacity) {
  TextCursor path = text_start(buffer, capacity);
  DWORD length = GetModuleFileNameW(nullptr, path.text, static_cast<DWORD>(text_room(&path)));
  if (length == 0) abort();
  text_extend(&path, length);
}

}  // namespace

const wchar_t* get_executable_path(bool resolved) {
  if (!resolved) {
    if (plain_cache[0] == L'\0') read_module_path(plain_cache, EXE_PATH_CAPACITY);
    return plain_cache;
  }
  if (resolved_cache[0] == L'\0') {
    read_module_path(resolved_cache, EXE_PATH_CAPACITY);
    resolve_final_path(resolved_cache, EXE_PATH_CAPACITY);
  }
  return resolved_cache;
}

void resolve_final_path(wchar_t* buffer, size_t capacity) {
  if (!resolve_existing_final_path(buffer, capacity)) abort();
}

bool resolve_existing_final_path(wchar_t* buffer, size_t capacity) {
  TextCursor path = text_resume(buffer, capacity);
  HANDLE file = system_calls.CreateFileW(buffer, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Looked up at run time: systems without it compare module names instead.
  auto get_final_path = reinterpret_cast<GetFinalPathFunction>(reinterpret_cast<void*>(
      system_calls.GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
  if (get_final_path != nullptr) {
    DWORD length = get_final_path(file, path.text, static_cast<DWORD>(capacity), 0);
    system_calls.CloseHandle(file);
    if (length > capacity - 1) abort();
    // On failure (0) the buffer keeps the path it held.
    if (length != 0) text_rewritten(&path, length);
  } else {
    system_calls.CloseHandle(file);
  }
  if (wcsncmp(path.text, L"\\\\?\\", 4) == 0 && path.length > 5 && path.text[5] == L':') text_drop_front(&path, 4);
  if (wcsncmp(path.text, L"\\\\?\\UNC\\", 8) == 0) {
    // "\\?\UNC\server" becomes "\\server": the "C" the second backslash.
    text_drop_front(&path, 6);
    text_replace_unit(&path, 0, L'\\');
  }
  to_short_path(buffer, capacity);
  return true;
}

void to_short_path(wchar_t* buffer, size_t capacity) {
  TextCursor path = text_resume(buffer, capacity);
  const wchar_t* last_backslash = wcsrchr(path.text, L'\\');
  wchar_t* file_name = nullptr;
  if (last_backslash != nullptr) {
    file_name = _wcsdup(last_backslash + 1);
    // Without the copy the file name would be lost: leave the path whole.
    if (file_name == nullptr) return;
    text_cut(&path, static_cast<size_t>(last_backslash - path.text));
  }
  DWORD short_size = GetShortPathNameW(path.text, nullptr, 0);
  if (short_size != 0) {
    auto* short_form = static_cast<wchar_t*>(malloc((short_size + 1) * sizeof(wchar_t)));
    if (short_form == nullptr) abort();
    DWORD length = GetShortPathNameW(path.text, short_form, short_size);
    if (length > short_size) abort();
    // A second call that fails leaves the text as it was.
    if (length != 0) {
      path = text_start(buffer, capacity);
      text_append(&path, short_form);
    }
    free(short_form);
  }
  if (file_name != nullptr) {
    text_append_unit(&path, L'\\');
    text_append(&path, file_name);
    free(file_name);
  }
}
