// The Windows behaviours layer; see windows_behaviours.h. Its own calls go to
// the system directly, never through the seam. The state that spans the run's
// processes (which directory has which owner, which file is held until when)
// is an append-only log of events in the test's state file, replayed by every
// process before it decides (behaviours_state.cpp); a named mutex orders the
// appends. The launcher's sweep may be inside a wrapper when the process
// ends: so the layer's memory is a heap of its own, its state is never
// destroyed, and it takes no lock of the C runtime's (no malloc, no stdio, no
// locale).
#include "tests/behaviours/windows_behaviours.h"

#include <windows.h>
// sddl.h needs the declarations above.
#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <map>
#include <new>
#include <string>
#include <unordered_map>

#include "common/system_calls.h"
#include "tests/behaviours/behaviours_state.h"

namespace {

using namespace behaviours_state;

// ---- the wrappers ----

HANDLE WINAPI behaviours_CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                     DWORD disposition, DWORD flags, HANDLE template_file) {
  if (refused(path)) return INVALID_HANDLE_VALUE;
  if ((access & DELETE) != 0 && held_at_or_below(path)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE opened = saved.CreateFileW(path, access, share, attributes, disposition, flags, template_file);
  if (opened != INVALID_HANDLE_VALUE && (on.scanner_hold_ms != 0 || on.elevated)) {
    DWORD error = GetLastError();  // ERROR_ALREADY_EXISTS tells callers what was there
    bool writing = (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_ALL)) != 0;
    StateLock guard;
    state->open_files[opened] = {normalised(path), writing};
    SetLastError(error);
  }
  return opened;
}

BOOL WINAPI behaviours_CloseHandle(HANDLE object) {
  LayerOpenFile closed = {L"", false};
  {
    StateLock guard;
    auto file = state->open_files.find(object);
    if (file != state->open_files.end()) {
      closed = file->second;
      state->open_files.erase(file);
    }
  }
  BOOL result = saved.CloseHandle(object);
  if (result && closed.writing && on.scanner_hold_ms != 0) {
    DWORD error = GetLastError();
    StateLock guard;
    record(L"H\t" + decimal(system_time() + uint64_t{on.scanner_hold_ms} * 10000) + L"\t" + closed.path);
    SetLastError(error);
  }
  return result;
}

BOOL WINAPI behaviours_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  if (refused(path, PLAIN_DIRECTORY_LIMIT, ERROR_FILENAME_EXCED_RANGE)) return FALSE;
  BOOL made = saved.CreateDirectoryW(path, attributes);
  if (made && on.elevated) {
    PSID named = nullptr;
    BOOL defaulted = FALSE;
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
      GetSecurityDescriptorOwner(attributes->lpSecurityDescriptor, &named, &defaulted);
    }
    Text owner = named != nullptr ? sid_text(named) : administrators_text();
    StateLock guard;
    record(L"O\t" + owner + L"\t" + normalised(path));
    SetLastError(ERROR_SUCCESS);
  }
  return made;
}

DWORD WINAPI behaviours_GetFullPathNameW(LPCWSTR path, DWORD length, LPWSTR buffer, LPWSTR* file_part) {
  // Its documentation limits a plain path to MAX_PATH; Wine takes any.
  if (refused(path, PLAIN_PATH_LIMIT, ERROR_FILENAME_EXCED_RANGE)) return 0;
  return saved.GetFullPathNameW(path, length, buffer, file_part);
}

BOOL WINAPI behaviours_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (refused(from) || refused(to)) return FALSE;
  if (held_at_or_below(from)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BOOL moved = saved.MoveFileExW(from, to, flags);
  if (moved && (on.elevated || on.scanner_hold_ms != 0)) {
    StateLock guard;
    record(L"M\t" + normalised(from) + L"\t" + normalised(to));
    SetLastError(ERROR_SUCCESS);
  }
  return moved;
}

BOOL WINAPI behaviours_DeleteFileW(LPCWSTR path) {
  if (refused(path)) return FALSE;
  if (held_at_or_below(path)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  return saved.DeleteFileW(path);
}

BOOL WINAPI behaviours_RemoveDirectoryW(LPCWSTR path) {
  if (refused(path)) return FALSE;
  if (held_at_or_below(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BOOL removed = saved.RemoveDirectoryW(path);
  if (removed && on.elevated) {
    StateLock guard;
    record(L"G\t" + normalised(path));
    SetLastError(ERROR_SUCCESS);
  }
  return removed;
}

DWORD WINAPI behaviours_GetFileAttributesW(LPCWSTR path) {
  if (refused(path)) return INVALID_FILE_ATTRIBUTES;
  return saved.GetFileAttributesW(path);
}

BOOL WINAPI behaviours_GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  if (refused(path)) return FALSE;
  return saved.GetFileAttributesExW(path, level, information);
}

BOOL WINAPI behaviours_SetFileAttributesW(LPCWSTR path, DWORD attributes) {
  if (refused(path)) return FALSE;
  return saved.SetFileAttributesW(path, attributes);
}

HANDLE WINAPI behaviours_FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found,
                                          FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
  if (refused(pattern)) return INVALID_HANDLE_VALUE;
  return saved.FindFirstFileExW(pattern, level, found, search, filter, flags);
}

// Whether anything at or below path has a full path the limit stops. The
// shell's delete takes plain paths only (no "\\?\"), so on Windows it cannot
// reach such an entry; Wine's reaches every one.
bool tree_beyond_limit(const Text& path) {
  if (path.size() >= PLAIN_PATH_LIMIT) return true;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileExW((L"\\\\?\\" + path + L"\\*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool beyond = false;
  do {
    Text name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    Text below = path + L"\\" + name;
    beyond =
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY
            ? tree_beyond_limit(below)
            : below.size() >= PLAIN_PATH_LIMIT;
  } while (!beyond && FindNextFileW(search, &found));
  FindClose(search);
  return beyond;
}

// The shell's delete returns its own codes, all positive; these two are the
// system's codes for what stopped it.
int WINAPI behaviours_SHFileOperationW(LPSHFILEOPSTRUCTW operation) {
  if (operation->wFunc == FO_DELETE) {
    for (const wchar_t* path = operation->pFrom; *path != L'\0'; path += wcslen(path) + 1) {
      if (on.path_limits && !is_device_form(path) && tree_beyond_limit(full_form(path))) {
        return ERROR_FILENAME_EXCED_RANGE;
      }
      if (held_at_or_below(path)) return ERROR_ACCESS_DENIED;
    }
  }
  int result = saved.SHFileOperationW(operation);
  if (result == 0 && operation->wFunc == FO_DELETE && on.elevated) {
    StateLock guard;
    for (const wchar_t* path = operation->pFrom; *path != L'\0'; path += wcslen(path) + 1) {
      record(L"G\t" + normalised(path));
    }
  }
  return result;
}

DWORD WINAPI behaviours_GetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner,
                                        PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  DWORD result = saved.GetSecurityInfo(object, type, which, owner, group, dacl, sacl, descriptor);
  if (result != ERROR_SUCCESS || (which & OWNER_SECURITY_INFORMATION) == 0 || descriptor == nullptr) return result;
  Text recorded = recorded_owner(object);
  PSID recorded_sid = nullptr;
  if (recorded.empty() || !ConvertStringSidToSidW(recorded.c_str(), &recorded_sid)) return result;
  // The same descriptor with the recorded owner, self-relative in one block
  // that the caller frees with LocalFree, as the system's own.
  SECURITY_DESCRIPTOR absolute;
  InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&absolute, recorded_sid, FALSE);
  PSID found_group = nullptr;
  PACL found_dacl = nullptr;
  PACL found_sacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorGroup(*descriptor, &found_group, &defaulted) && found_group != nullptr) {
    SetSecurityDescriptorGroup(&absolute, found_group, defaulted);
  }
  if (GetSecurityDescriptorDacl(*descriptor, &present, &found_dacl, &defaulted) && present) {
    SetSecurityDescriptorDacl(&absolute, TRUE, found_dacl, defaulted);
  }
  if (GetSecurityDescriptorSacl(*descriptor, &present, &found_sacl, &defaulted) && present) {
    SetSecurityDescriptorSacl(&absolute, TRUE, found_sacl, defaulted);
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(*descriptor, &control, &revision)) {
    SetSecurityDescriptorControl(&absolute, SE_DACL_PROTECTED | SE_SACL_PROTECTED,
                                 control & (SE_DACL_PROTECTED | SE_SACL_PROTECTED));
  }
  DWORD size = 0;
  MakeSelfRelativeSD(&absolute, nullptr, &size);
  PSECURITY_DESCRIPTOR relative = LocalAlloc(LMEM_FIXED, size);
  if (relative == nullptr || !MakeSelfRelativeSD(&absolute, relative, &size)) {
    if (relative != nullptr) LocalFree(relative);
    LocalFree(recorded_sid);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  LocalFree(recorded_sid);
  LocalFree(*descriptor);
  *descriptor = relative;
  if (owner != nullptr) GetSecurityDescriptorOwner(relative, owner, &defaulted);
  if (group != nullptr) GetSecurityDescriptorGroup(relative, group, &defaulted);
  if (dacl != nullptr) GetSecurityDescriptorDacl(relative, &present, dacl, &defaulted);
  if (sacl != nullptr) GetSecurityDescriptorSacl(relative, &present, sacl, &defaulted);
  return result;
}

DWORD WINAPI behaviours_SetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID owner,
                                        PSID group, PACL dacl, PACL sacl) {
  DWORD result = saved.SetSecurityInfo(object, type, which, owner, group, dacl, sacl);
  if (result == ERROR_SUCCESS && (which & OWNER_SECURITY_INFORMATION) != 0 && owner != nullptr) {
    StateLock guard;
    auto file = state->open_files.find(object);
    if (file != state->open_files.end()) record(L"O\t" + sid_text(owner) + L"\t" + file->second.path);
  }
  return result;
}

std::wstring environment_value(const wchar_t* name) {
  wchar_t value[32768];
  DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length == 0 || length >= 32768 ? L"" : std::wstring(value, length);
}

void say(const std::wstring& text) {
  DWORD written = 0;
  std::string bytes(text.begin(), text.end());
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

bool parse_windows_behaviours(const std::wstring& text, WindowsBehaviours* behaviours, std::wstring* unknown) {
  *behaviours = {};
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L',', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring word = text.substr(start, end - start);
    start = end + 1;
    if (word.empty()) continue;
    if (word == L"path-limits") {
      behaviours->path_limits = true;
    } else if (word == L"elevated") {
      behaviours->elevated = true;
    } else if (word == L"scanner") {
      behaviours->scanner_hold_ms = SCANNER_DEFAULT_HOLD_MS;
    } else if (starts_with(word, L"scanner=") && word.size() > 8 &&
               word.find_first_not_of(L"0123456789", 8) == std::wstring::npos) {
      behaviours->scanner_hold_ms = static_cast<unsigned>(std::wcstoul(word.c_str() + 8, nullptr, 10));
    } else {
      *unknown = word;
      return false;
    }
  }
  return true;
}

void install_windows_behaviours(const WindowsBehaviours& behaviours, const std::wstring& state_file) {
  if (installed) uninstall_windows_behaviours();
  if (state == nullptr) {
    layer_heap = HeapCreate(0, 0, 0);
    if (layer_heap == nullptr) abort();
    state = new (HeapAlloc(layer_heap, 0, sizeof(LayerState))) LayerState;
    InitializeCriticalSection(&state->lock);
  }
  saved = system_calls;
  installed = true;
  on = behaviours;
  if (!state_file.empty()) {
    log_file = CreateFileW(state_file.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log_file != INVALID_HANDLE_VALUE) log_mutex = CreateMutexW(nullptr, FALSE, mutex_name(state_file).c_str());
  }
  system_calls.CreateFileW = behaviours_CreateFileW;
  system_calls.CloseHandle = behaviours_CloseHandle;
  system_calls.CreateDirectoryW = behaviours_CreateDirectoryW;
  system_calls.GetFullPathNameW = behaviours_GetFullPathNameW;
  system_calls.MoveFileExW = behaviours_MoveFileExW;
  system_calls.DeleteFileW = behaviours_DeleteFileW;
  system_calls.RemoveDirectoryW = behaviours_RemoveDirectoryW;
  system_calls.GetFileAttributesW = behaviours_GetFileAttributesW;
  system_calls.GetFileAttributesExW = behaviours_GetFileAttributesExW;
  system_calls.SetFileAttributesW = behaviours_SetFileAttributesW;
  system_calls.FindFirstFileExW = behaviours_FindFirstFileExW;
  system_calls.SHFileOperationW = behaviours_SHFileOperationW;
  system_calls.GetSecurityInfo = behaviours_GetSecurityInfo;
  system_calls.SetSecurityInfo = behaviours_SetSecurityInfo;
}

void uninstall_windows_behaviours() {
  if (!installed) return;
  system_calls = saved;
  installed = false;
  on = {};
  StateLock guard;
  state->open_files.clear();
  state->owners.clear();
  state->holds.clear();
  if (log_file != INVALID_HANDLE_VALUE) CloseHandle(log_file);
  if (log_mutex != nullptr) CloseHandle(log_mutex);
  log_file = INVALID_HANDLE_VALUE;
  log_mutex = nullptr;
  log_read = 0;
  state->log_partial.clear();
}

bool install_windows_behaviours_from_environment() {
  std::wstring text = environment_value(WINDOWS_BEHAVIOURS_VARIABLE);
  WindowsBehaviours behaviours;
  std::wstring unknown;
  if (!parse_windows_behaviours(text, &behaviours, &unknown)) {
    say(L"windows behaviours: unknown behaviour '" + unknown + L"' in " + WINDOWS_BEHAVIOURS_VARIABLE + L"\n");
    return false;
  }
  if (!behaviours.path_limits && behaviours.scanner_hold_ms == 0 && !behaviours.elevated) return true;
  install_windows_behaviours(behaviours, environment_value(WINDOWS_BEHAVIOURS_STATE_VARIABLE));
  return true;
}
