// The Windows behaviours layer; see windows_behaviours.h. Its own calls go to
// the system directly, never through the seam. The state that spans the run's
// processes (which directory has which owner, which file is held until when)
// is an append-only log of events in the test's state file, replayed by every
// process before it decides; a named mutex orders the appends.
#include "tests/behaviours/windows_behaviours.h"

#include <windows.h>
// sddl.h needs the declarations above.
#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/system_calls.h"

namespace {

SystemCalls saved;
bool installed = false;
WindowsBehaviours on;

std::recursive_mutex state_lock;

struct OpenFile {
  std::wstring path;  // normalised
  bool writing;
};
std::unordered_map<HANDLE, OpenFile> open_files;
std::map<std::wstring, std::wstring> owners;  // normalised directory path -> owner SID as text
std::multimap<std::wstring, uint64_t> holds;  // normalised file path -> held until (system time)

HANDLE log_file = INVALID_HANDLE_VALUE;
HANDLE log_mutex = nullptr;
uint64_t log_read = 0;  // bytes of the log replayed so far
std::wstring log_partial;

constexpr size_t PLAIN_PATH_LIMIT = MAX_PATH;            // units, the terminating NUL's place included
constexpr size_t PLAIN_DIRECTORY_LIMIT = MAX_PATH - 12;  // room left for an 8.3 name below

uint64_t system_time() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

bool is_device_form(const wchar_t* path) { return wcsncmp(path, L"\\\\?\\", 4) == 0; }

// The full form of a plain path, as the system would make it; empty when it
// cannot be had.
std::wstring full_form(const wchar_t* path) {
  wchar_t short_enough[1024];
  DWORD length = ::GetFullPathNameW(path, 1024, short_enough, nullptr);
  if (length == 0) return L"";
  if (length < 1024) return std::wstring(short_enough, length);
  std::wstring full(length, L'\0');  // the length asked for counts the NUL
  DWORD written = ::GetFullPathNameW(path, length, full.data(), nullptr);
  if (written == 0 || written >= length) return L"";
  full.resize(written);
  return full;
}

// One spelling per file: no "\\?\", full, backslashes, lower case, no
// trailing backslash.
std::wstring normalised(const wchar_t* path) {
  std::wstring text = path;
  if (starts_with(text, L"\\\\?\\UNC\\")) {
    text = L"\\" + text.substr(7);
  } else if (is_device_form(path)) {
    text = text.substr(4);
  } else {
    std::wstring full = full_form(path);
    if (!full.empty()) text = full;
  }
  for (wchar_t& unit : text) unit = unit == L'/' ? L'\\' : static_cast<wchar_t>(std::towlower(unit));
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  return text;
}

bool is_at_or_below(const std::wstring& path, const std::wstring& top) {
  return path.size() >= top.size() && path.compare(0, top.size(), top) == 0 &&
         (path.size() == top.size() || path[top.size()] == L'\\');
}

// ---- path limits ----
// Windows without the LongPathsEnabled policy (its default) refuses a plain
// path of MAX_PATH units and more in every file call, and of MAX_PATH - 12 in
// CreateDirectoryW; only the "\\?\" form passes. Wine takes any length, so
// a plain long path that reaches a file call goes unnoticed there.

// Whether a plain path reaches the limit: its full form counts, as the
// system's conversion makes it before the limit applies.
bool beyond_limit(const wchar_t* path, size_t limit) {
  if (!on.path_limits || path == nullptr || is_device_form(path)) return false;
  std::wstring full = full_form(path);
  return (full.empty() ? wcslen(path) : full.size()) >= limit;
}

// ---- the shared log ----

void apply(const std::wstring& line) {
  if (line.size() < 2 || line[1] != L'\t') return;
  std::wstring rest = line.substr(2);
  size_t tab = rest.find(L'\t');
  switch (line[0]) {
    case L'O':  // owner <sid> <path>
      if (tab != std::wstring::npos) owners[rest.substr(tab + 1)] = rest.substr(0, tab);
      break;
    case L'H':  // held until <time> <path>
      if (tab != std::wstring::npos) holds.emplace(rest.substr(tab + 1), std::wcstoull(rest.c_str(), nullptr, 10));
      break;
    case L'M': {  // moved <from> <to>: what lies below goes along
      if (tab == std::wstring::npos) break;
      std::wstring from = rest.substr(0, tab);
      std::wstring to = rest.substr(tab + 1);
      std::map<std::wstring, std::wstring> moved_owners;
      for (auto it = owners.begin(); it != owners.end();) {
        if (is_at_or_below(it->first, from)) {
          moved_owners[to + it->first.substr(from.size())] = it->second;
          it = owners.erase(it);
        } else {
          ++it;
        }
      }
      owners.insert(moved_owners.begin(), moved_owners.end());
      std::multimap<std::wstring, uint64_t> moved_holds;
      for (auto it = holds.begin(); it != holds.end();) {
        if (is_at_or_below(it->first, from)) {
          moved_holds.emplace(to + it->first.substr(from.size()), it->second);
          it = holds.erase(it);
        } else {
          ++it;
        }
      }
      holds.insert(moved_holds.begin(), moved_holds.end());
      break;
    }
    case L'G':  // gone <path>: a directory made there later is a new one
      for (auto it = owners.begin(); it != owners.end();) {
        it = is_at_or_below(it->first, rest) ? owners.erase(it) : std::next(it);
      }
      break;
  }
}

// Replays what other processes appended since the last call. The caller
// holds the log's mutex.
void catch_up() {
  if (log_file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(log_file, &size) || static_cast<uint64_t>(size.QuadPart) <= log_read) return;
  std::string bytes(static_cast<size_t>(size.QuadPart - log_read), '\0');
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(log_read);
  at.OffsetHigh = static_cast<DWORD>(log_read >> 32);
  DWORD read = 0;
  if (!ReadFile(log_file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, &at)) return;
  log_read += read - read % sizeof(wchar_t);
  log_partial.append(reinterpret_cast<const wchar_t*>(bytes.data()), read / sizeof(wchar_t));
  for (size_t end = log_partial.find(L'\n'); end != std::wstring::npos; end = log_partial.find(L'\n')) {
    apply(log_partial.substr(0, end));
    log_partial.erase(0, end + 1);
  }
}

// A process killed while it held the mutex leaves it abandoned: the next
// waiter owns it all the same.
void lock_log() {
  if (log_mutex != nullptr) WaitForSingleObject(log_mutex, INFINITE);
}

void unlock_log() {
  if (log_mutex != nullptr) ReleaseMutex(log_mutex);
}

void sync() {
  lock_log();
  catch_up();
  unlock_log();
}

// Appends one event and applies it here; in a process of its own (no state
// file) it is only applied.
void record(const std::wstring& event) {
  if (log_file == INVALID_HANDLE_VALUE) {
    apply(event);
    return;
  }
  lock_log();
  catch_up();
  std::wstring line = event + L"\n";
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(log_read);
  DWORD written = 0;
  OVERLAPPED at = {};
  at.Offset = end.LowPart;
  at.OffsetHigh = static_cast<DWORD>(end.HighPart);
  WriteFile(log_file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, &at);
  catch_up();  // reads the line back, so that events apply in the log's order everywhere
  unlock_log();
}

// One mutex per state file, named after the file's path.
std::wstring mutex_name(const std::wstring& state_file) {
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t unit : normalised(state_file.c_str())) hash = (hash ^ unit) * 1099511628211ull;
  return L"Local\\vorbel-windows-behaviours-" + std::to_wstring(hash);
}

// ---- the scanner ----
// Windows: Defender's real-time protection scans a file when the handle it
// was written through is closed, and meanwhile holds it open; a rename or
// removal of the file, or of a directory above it, fails with
// ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION. Wine has no scanner: the
// files are free the moment they are closed.

bool held_at_or_below(const wchar_t* path) {
  if (on.scanner_hold_ms == 0 || path == nullptr) return false;
  std::lock_guard<std::recursive_mutex> guard(state_lock);
  sync();
  std::wstring top = normalised(path);
  uint64_t now = system_time();
  bool held = false;
  for (auto it = holds.lower_bound(top); it != holds.end() && it->first.compare(0, top.size(), top) == 0;) {
    if (it->second <= now) {
      it = holds.erase(it);
      continue;
    }
    held = held || is_at_or_below(it->first, top);
    ++it;
  }
  return held;
}

// ---- the elevated token ----
// Windows: an administrator's elevated token names BUILTIN\Administrators as
// the default owner, so a directory made with a security descriptor that
// names no owner belongs to the group, not to the user. Wine keeps no owner
// of its own: it reports the user for every directory.

std::wstring sid_text(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"";
  std::wstring result = text;
  LocalFree(text);
  return result;
}

std::wstring administrators_text() {
  alignas(8) unsigned char sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) return L"";
  return sid_text(sid);
}

// The owner the layer holds for an open handle's directory; empty when none.
std::wstring recorded_owner(HANDLE object) {
  std::lock_guard<std::recursive_mutex> guard(state_lock);
  auto file = open_files.find(object);
  if (file == open_files.end()) return L"";
  sync();
  auto owner = owners.find(file->second.path);
  return owner == owners.end() ? L"" : owner->second;
}

// ---- the wrappers ----

HANDLE WINAPI behaviours_CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                     DWORD disposition, DWORD flags, HANDLE template_file) {
  if (beyond_limit(path, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if ((access & DELETE) != 0 && held_at_or_below(path)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE opened = saved.CreateFileW(path, access, share, attributes, disposition, flags, template_file);
  if (opened != INVALID_HANDLE_VALUE && (on.scanner_hold_ms != 0 || on.elevated)) {
    DWORD error = GetLastError();  // ERROR_ALREADY_EXISTS tells callers what was there
    bool writing = (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_ALL)) != 0;
    std::lock_guard<std::recursive_mutex> guard(state_lock);
    open_files[opened] = {normalised(path), writing};
    SetLastError(error);
  }
  return opened;
}

BOOL WINAPI behaviours_CloseHandle(HANDLE object) {
  OpenFile closed = {L"", false};
  {
    std::lock_guard<std::recursive_mutex> guard(state_lock);
    auto file = open_files.find(object);
    if (file != open_files.end()) {
      closed = file->second;
      open_files.erase(file);
    }
  }
  BOOL result = saved.CloseHandle(object);
  if (result && closed.writing && on.scanner_hold_ms != 0) {
    DWORD error = GetLastError();
    std::lock_guard<std::recursive_mutex> guard(state_lock);
    record(L"H\t" + std::to_wstring(system_time() + uint64_t{on.scanner_hold_ms} * 10000) + L"\t" + closed.path);
    SetLastError(error);
  }
  return result;
}

BOOL WINAPI behaviours_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  if (beyond_limit(path, PLAIN_DIRECTORY_LIMIT)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  BOOL made = saved.CreateDirectoryW(path, attributes);
  if (made && on.elevated) {
    PSID named = nullptr;
    BOOL defaulted = FALSE;
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
      GetSecurityDescriptorOwner(attributes->lpSecurityDescriptor, &named, &defaulted);
    }
    std::wstring owner = named != nullptr ? sid_text(named) : administrators_text();
    std::lock_guard<std::recursive_mutex> guard(state_lock);
    record(L"O\t" + owner + L"\t" + normalised(path));
    SetLastError(ERROR_SUCCESS);
  }
  return made;
}

DWORD WINAPI behaviours_GetFullPathNameW(LPCWSTR path, DWORD length, LPWSTR buffer, LPWSTR* file_part) {
  // Its documentation limits a plain path to MAX_PATH; Wine takes any.
  if (beyond_limit(path, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  return saved.GetFullPathNameW(path, length, buffer, file_part);
}

BOOL WINAPI behaviours_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (beyond_limit(from, PLAIN_PATH_LIMIT) || beyond_limit(to, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (held_at_or_below(from)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BOOL moved = saved.MoveFileExW(from, to, flags);
  if (moved && (on.elevated || on.scanner_hold_ms != 0)) {
    std::lock_guard<std::recursive_mutex> guard(state_lock);
    record(L"M\t" + normalised(from) + L"\t" + normalised(to));
    SetLastError(ERROR_SUCCESS);
  }
  return moved;
}

BOOL WINAPI behaviours_DeleteFileW(LPCWSTR path) {
  if (beyond_limit(path, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (held_at_or_below(path)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  return saved.DeleteFileW(path);
}

BOOL WINAPI behaviours_RemoveDirectoryW(LPCWSTR path) {
  if (beyond_limit(path, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (held_at_or_below(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BOOL removed = saved.RemoveDirectoryW(path);
  if (removed && on.elevated) {
    std::lock_guard<std::recursive_mutex> guard(state_lock);
    record(L"G\t" + normalised(path));
    SetLastError(ERROR_SUCCESS);
  }
  return removed;
}

DWORD WINAPI behaviours_GetFileAttributesW(LPCWSTR path) {
  if (beyond_limit(path, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return saved.GetFileAttributesW(path);
}

BOOL WINAPI behaviours_GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  if (beyond_limit(path, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return saved.GetFileAttributesExW(path, level, information);
}

BOOL WINAPI behaviours_SetFileAttributesW(LPCWSTR path, DWORD attributes) {
  if (beyond_limit(path, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return saved.SetFileAttributesW(path, attributes);
}

HANDLE WINAPI behaviours_FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found,
                                          FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
  if (beyond_limit(pattern, PLAIN_PATH_LIMIT)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return saved.FindFirstFileExW(pattern, level, found, search, filter, flags);
}

// Whether anything at or below path has a full path the limit stops. The
// shell's delete takes plain paths only (no "\\?\"), so on Windows it cannot
// reach such an entry; Wine's reaches every one.
bool tree_beyond_limit(const std::wstring& path) {
  if (path.size() >= PLAIN_PATH_LIMIT) return true;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileExW((L"\\\\?\\" + path + L"\\*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool beyond = false;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring below = path + L"\\" + name;
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
    std::lock_guard<std::recursive_mutex> guard(state_lock);
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
  std::wstring recorded = recorded_owner(object);
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
    std::lock_guard<std::recursive_mutex> guard(state_lock);
    auto file = open_files.find(object);
    if (file != open_files.end()) record(L"O\t" + sid_text(owner) + L"\t" + file->second.path);
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
  std::lock_guard<std::recursive_mutex> guard(state_lock);
  open_files.clear();
  owners.clear();
  holds.clear();
  if (log_file != INVALID_HANDLE_VALUE) CloseHandle(log_file);
  if (log_mutex != nullptr) CloseHandle(log_mutex);
  log_file = INVALID_HANDLE_VALUE;
  log_mutex = nullptr;
  log_read = 0;
  log_partial.clear();
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
