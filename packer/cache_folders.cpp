// The cached mode's folders for `vorbel-pack cache`; see cache_folders.h.
// Takes what the launcher's own removal would take, by its rules and through
// its code (shutdown/locked_removal.cpp, the sweep's run_may_live,
// common/directory_check.cpp), so that
// the tool never removes what a start uses, another user's, or through a link.
#include "packer/cache_folders.h"

#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "common/directory_check.h"
#include "common/launcher_names.h"
#include "common/long_path.h"
#include "packer/utf.h"
#include "payload/launch_settings_format.h"
#include "shutdown/leftover_sweep.h"
#include "shutdown/locked_removal.h"

namespace vorbel::pack::cache {
namespace fs = std::filesystem;
namespace {

// A path's "\\?\" form when it needs one; the launcher's own rule.
struct LongForm {
  explicit LongForm(const std::wstring& path) : text(long_path_form(path.c_str(), buffer)) {}
  wchar_t buffer[LONG_PATH_CAPACITY];
  const wchar_t* text;
};

void trim_backslashes(std::wstring* text) {
  while (!text->empty() && text->back() == L'\\') text->pop_back();
}

std::optional<std::wstring> shell_folder(int folder) {
  wchar_t path[MAX_PATH];
  if (SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return std::nullopt;
  return std::wstring(path);
}

bool is_directory(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(LongForm(path).text);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// LOCALAPPDATA when it is an absolute path to a directory, as the launcher
// takes it, else the shell's answer.
std::optional<std::wstring> local_app_data() {
  if (const wchar_t* value = _wgetenv(L"LOCALAPPDATA"); value != nullptr && *value != L'\0') {
    fs::path path(value);
    if (path.is_absolute() && is_directory(value)) return std::wstring(value);
  }
  return shell_folder(CSIDL_LOCAL_APPDATA);
}

std::optional<std::wstring> reference_value(std::wstring_view name, const fs::path& program) {
  const std::wstring full = program.empty() ? L"" : fs::absolute(program).lexically_normal().make_preferred().wstring();
  if (name == L"CACHE_DIR") return local_app_data();
  if (name == L"HOME") return shell_folder(CSIDL_PROFILE);
  if (name == L"TEMP") {
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, path);
    if (length == 0 || length > MAX_PATH) return std::nullopt;
    return std::wstring(path, length);
  }
  if (full.empty()) return std::nullopt;
  if (name == L"PROGRAM") return full;
  if (name == L"PROGRAM_DIR") return full.substr(0, full.rfind(L'\\'));
  if (name == L"PROGRAM_BASE") {
    std::wstring base = full;
    if (base.size() >= 4 && _wcsicmp(base.c_str() + base.size() - 4, L".exe") == 0) base.resize(base.size() - 4);
    return base;
  }
  return std::nullopt;
}

bool plain_directory(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
}

// The names of the plain directories in folder (never a link's).
std::vector<std::wstring> subdirectories(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search =
      FindFirstFileExW(LongForm(folder + L"\\*").text, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring_view name = found.cFileName;
    if (plain_directory(found.dwFileAttributes) && name != L"." && name != L"..") names.emplace_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// The directory itself (no link) and the current user's.
bool users_own_directory(const std::wstring& path) {
  HANDLE directory = INVALID_HANDLE_VALUE;
  if (open_directory_itself(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, &directory) != DIRECTORY_OPENED) {
    return false;
  }
  PSID user = current_user_sid();
  unsigned long error = 0;
  bool own = user != nullptr && directory_owner(directory, user, &error) == DIRECTORY_OWNED_BY_USER;
  CloseHandle(directory);
  return own;
}

// The bytes of the files below folder; links are counted as themselves.
uint64_t tree_bytes(const std::wstring& folder) {
  uint64_t bytes = 0;
  std::vector<std::wstring> pending = {folder};
  while (!pending.empty()) {
    std::wstring directory = std::move(pending.back());
    pending.pop_back();
    WIN32_FIND_DATAW found;
    HANDLE search =
        FindFirstFileExW(LongForm(directory + L"\\*").text, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      std::wstring_view name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (plain_directory(found.dwFileAttributes)) {
        pending.push_back(directory + L"\\" + found.cFileName);
      } else {
        bytes += (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  return bytes;
}

bool file_exists(const std::wstring& path) {
  return GetFileAttributesW(LongForm(path).text) != INVALID_FILE_ATTRIBUTES;
}

// The folder's bundles and working directories: the launcher's names, the
// user's own, holding its lock or record.
std::vector<CacheEntry> entries_of(const std::wstring& folder) {
  std::vector<CacheEntry> entries;
  for (const std::wstring& name : subdirectories(folder)) {
    uint64_t pid = 0;
    uint64_t time = 0;
    bool working = name_has_form(reinterpret_cast<const wchar_t*>(WORKING_DIR_FORM), name.c_str(), &pid, &time);
    if (!working && !is_bundle_folder_name(name.c_str())) continue;
    const std::wstring path = folder + L"\\" + name;
    if (!users_own_directory(path)) continue;
    if (!file_exists(path + L"\\" + reinterpret_cast<const wchar_t*>(DIRECTORY_LOCK_NAME)) &&
        !file_exists(path + L"\\" + reinterpret_cast<const wchar_t*>(BUNDLE_RECORD_NAME))) {
      continue;
    }
    entries.push_back({fs::path(path), tree_bytes(path), working});
  }
  return entries;
}

}  // namespace

Result<fs::path> expand_root(std::string_view spec_utf8, const fs::path& program) {
  const std::string shown =
      spec_utf8.empty() ? printable(std::u16string(LAUNCH_DEFAULT_CACHE_ROOT)) : printable(spec_utf8);
  auto spec16 = utf8_to_utf16(spec_utf8);
  if (!spec16) return Failure{"", "its cache root '" + shown + "' is not Unicode"};
  std::wstring spec(spec16->begin(), spec16->end());
  if (spec.empty()) spec = reinterpret_cast<const wchar_t*>(LAUNCH_DEFAULT_CACHE_ROOT);
  std::wstring out;
  for (size_t at = 0; at < spec.size(); ++at) {
    if (spec[at] != L'{') {
      out += spec[at];
      continue;
    }
    size_t end = spec.find(L'}', at);
    if (end == std::wstring::npos) return Failure{"", "its cache root '" + shown + "' cannot be expanded"};
    std::wstring_view name(spec.data() + at + 1, end - at - 1);
    if (size_t inner = name.rfind(L'{'); inner != std::wstring_view::npos) name.remove_prefix(inner + 1);
    auto value = reference_value(name, program);
    if (!value) {
      const std::string reference = "{" + printable(std::u16string(name.begin(), name.end())) + "}";
      return Failure{"", "its cache root '" + shown + "' uses " + reference +
                             ", which only the program itself can fill in: run it with "
                             "VORBEL_ONEFILE_REMOVE_CACHE=1 to remove its cache"};
    }
    trim_backslashes(&*value);
    out += *value;
    at = end;
  }
  trim_backslashes(&out);
  fs::path root(out);
  if (!root.is_absolute()) return Failure{"", "its cache root '" + shown + "' is no absolute path here"};
  return root;
}

std::vector<ApplicationFolder> application_folders(const fs::path& root,
                                                   const std::optional<std::string>& application) {
  std::vector<std::wstring> names;
  if (application) {
    auto name16 = utf8_to_utf16(*application).value_or(u"");
    std::wstring name(name16.begin(), name16.end());
    for (int number = 1; number <= BUNDLE_FOLDER_NAMES; ++number) {
      names.push_back(number == 1 ? name : name + L"." + std::to_wstring(number));
    }
  } else {
    names = subdirectories(root.wstring());
  }
  std::vector<ApplicationFolder> folders;
  for (const std::wstring& name : names) {
    const std::wstring path = root.wstring() + L"\\" + name;
    if (!users_own_directory(path)) continue;
    std::vector<CacheEntry> entries = entries_of(path);
    if (!entries.empty()) folders.push_back({fs::path(path), std::move(entries)});
  }
  return folders;
}

bool remove_entry(const CacheEntry& entry) {
  const std::wstring path = entry.path.wstring();
  if (entry.working) {
    // Its first start may be between its files and the rename, its lock not held.
    uint64_t pid = 0;
    uint64_t time = 0;
    const std::wstring name = entry.path.filename().wstring();
    // Stamped later than now: nothing tells which process is whose.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (!name_has_form(reinterpret_cast<const wchar_t*>(WORKING_DIR_FORM), name.c_str(), &pid, &time) ||
        time >= filetime_ticks(now.dwHighDateTime, now.dwLowDateTime) || run_may_live(pid, time)) {
      return false;
    }
  }
  const std::wstring lock_path = path + L"\\" + reinterpret_cast<const wchar_t*>(DIRECTORY_LOCK_NAME);
  HANDLE lock = CreateFileW(LongForm(lock_path).text, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;  // held: a start runs from it
    lock = nullptr;
  }
  return remove_locked_directory(path.c_str(), lock, lock_path.c_str(), nullptr) == REMOVAL_DONE;
}

void remove_if_empty(const fs::path& folder) { RemoveDirectoryW(LongForm(folder.wstring()).text); }

}  // namespace vorbel::pack::cache
