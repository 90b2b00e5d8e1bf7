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

// Removes count units from the front of path, NUL included.
void drop_prefix(wchar_t* path, size_t count) {
  wmemmove(path, path + count, wcslen(path + count) + 1);
}

}  // namespace

const wchar_t* get_executable_path(bool resolved) {
  if (!resolved) {
    if (plain_cache[0] == L'\0') {
      GetModuleFileNameW(nullptr, plain_cache, EXE_PATH_CAPACITY);
      bounded_length(plain_cache, EXE_PATH_CAPACITY);
    }
    return plain_cache;
  }
  if (resolved_cache[0] == L'\0') {
    GetModuleFileNameW(nullptr, resolved_cache, EXE_PATH_CAPACITY);
    resolve_final_path(resolved_cache, EXE_PATH_CAPACITY);
  }
  return resolved_cache;
}

void resolve_final_path(wchar_t* buffer, size_t capacity) {
  if (!resolve_existing_final_path(buffer, capacity)) abort();
}

bool resolve_existing_final_path(wchar_t* buffer, size_t capacity) {
  bounded_length(buffer, capacity);
  HANDLE file = CreateFileW(buffer, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Looked up at run time: systems without it compare module names instead.
  auto get_final_path = reinterpret_cast<GetFinalPathFunction>(reinterpret_cast<void*>(
      system_calls.GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
  if (get_final_path != nullptr) {
    DWORD length = get_final_path(file, buffer, static_cast<DWORD>(capacity), 0);
    CloseHandle(file);
    if (length > capacity - 1) abort();
    // On failure (0) the buffer keeps the path it held.
  } else {
    CloseHandle(file);
  }
  if (wcsncmp(buffer, L"\\\\?\\", 4) == 0 && buffer[4] != L'\0' && buffer[5] == L':') drop_prefix(buffer, 4);
  if (wcsncmp(buffer, L"\\\\?\\UNC\\", 8) == 0) {
    drop_prefix(buffer, 6);
    buffer[0] = L'\\';
  }
  to_short_path(buffer, capacity);
  return true;
}

void to_short_path(wchar_t* path, size_t capacity) {
  wchar_t* last_backslash = wcsrchr(path, L'\\');
  wchar_t* file_name = nullptr;
  if (last_backslash != nullptr) {
    file_name = _wcsdup(last_backslash + 1);
    // Without the copy the file name would be lost: leave the path whole.
    if (file_name == nullptr) return;
    *last_backslash = L'\0';
  }
  DWORD short_size = GetShortPathNameW(path, nullptr, 0);
  if (short_size != 0) {
    auto* short_form = static_cast<wchar_t*>(malloc((short_size + 1) * sizeof(wchar_t)));
    if (short_form == nullptr) abort();
    DWORD length = GetShortPathNameW(path, short_form, short_size);
    if (length > short_size) abort();
    // A second call that fails leaves the text as it was.
    if (length != 0) copy_wide(path, capacity, short_form);
    free(short_form);
  }
  if (file_name != nullptr) {
    append_wide(path, capacity, L"\\");
    append_wide(path, capacity, file_name);
    free(file_name);
  }
}
