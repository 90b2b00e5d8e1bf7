// The removal of a program's own cache; see cache_removal.h. It takes what
// the sweep would take, by the same rules (a bundle goes when its lock opens
// without sharing, a working directory when its first start has ended too),
// but every bundle of the application, its own id's included, and with no
// bound in number or time: the caller asked for it and waits for the answer.
#include "launcher/cache_removal.h"

#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/decimal_text.h"
#include "common/error_report.h"
#include "common/launcher_names.h"
#include "common/long_path.h"
#include "common/system_calls.h"
#include "launcher/cached_run.h"
#include "paths/env_access.h"
#include "paths/exe_path.h"
#include "paths/path_spec.h"
#include "payload/bundle_directory.h"
#include "shutdown/leftover_sweep.h"
#include "shutdown/locked_removal.h"

namespace {

wchar_t removal_root[PATH_CAPACITY];
wchar_t removal_folder[PATH_CAPACITY];
wchar_t removal_entry[PATH_CAPACITY];
wchar_t removal_lock[PATH_CAPACITY];

// The application folder's name, with ".n" from the second on, as the
// cached mode gives it when an earlier name is someone else's.
bool name_application_folder(const CacheChoice* choice, int number) {
  TextCursor path = text_start(removal_folder, PATH_CAPACITY);
  if (!text_try_join_path(&path, removal_root, choice->application)) return false;
  if (number == 1) return true;
  return text_try_append_unit(&path, L'.') && text_try_append_decimal(&path, static_cast<uint64_t>(number));
}

// Removes the directory at removal_entry; false when something in it is in
// use: its lock held (by a start running from it, or unpacking into it), or
// a file below held open.
bool remove_entry_directory() {
  TextCursor lock_path = text_start(removal_lock, PATH_CAPACITY);
  if (!text_try_join_path(&lock_path, removal_entry, as_wide(DIRECTORY_LOCK_NAME))) return false;
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE lock = system_calls.CreateFileW(long_path_form(removal_lock, long_form), GENERIC_READ | DELETE, 0, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    lock = nullptr;  // none: what no process holds goes, and a held file stays
  }
  return remove_locked_directory(removal_entry, lock, removal_lock, nullptr) != REMOVAL_LEFT_SOME;
}

// The bundles and working directories of the folder at removal_folder;
// false when one of them was left in use. Everything of another name, and
// whatever is a link or someone else's, is never touched.
bool empty_application_folder() {
  TextCursor pattern = text_start(removal_entry, PATH_CAPACITY);
  if (!text_try_join_path(&pattern, removal_folder, L"*")) return true;
  wchar_t long_form[LONG_PATH_CAPACITY];
  WIN32_FIND_DATAW found;
  HANDLE search = system_calls.FindFirstFileExW(long_path_form(removal_entry, long_form), FindExInfoBasic, &found,
                                                FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return true;
  FILETIME clock;
  GetSystemTimeAsFileTime(&clock);
  const uint64_t now = filetime_ticks(clock.dwHighDateTime, clock.dwLowDateTime);
  bool all_removed = true;
  do {
    bool plain_directory = (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                           FILE_ATTRIBUTE_DIRECTORY;
    uint64_t pid = 0;
    uint64_t time = 0;
    bool working = name_has_form(as_wide(WORKING_DIR_FORM), found.cFileName, &pid, &time);
    if (!plain_directory || !(working || is_bundle_folder_name(found.cFileName))) continue;
    TextCursor path = text_start(removal_entry, PATH_CAPACITY);
    if (!text_try_join_path(&path, removal_folder, found.cFileName) ||
        check_own_directory(removal_entry) != OWN_DIRECTORY) {
      continue;
    }
    // A working directory whose first start still runs is being unpacked
    // into, and its lock is not held between its files and the rename.
    bool in_use = working && (time >= now || run_may_live(pid, time));
    if (in_use || !remove_entry_directory()) {
      print_error("Error, the cache folder '%ls' is in use and was not removed.\n", removal_entry);
      all_removed = false;
    }
  } while (system_calls.FindNextFileW(search, &found));
  FindClose(search);
  return all_removed;
}

}  // namespace

bool cache_removal_wanted() {
  wchar_t* value = get_env_copy_narrow("VORBEL_ONEFILE_REMOVE_CACHE");
  bool wanted = value != nullptr && wcscmp(value, L"1") == 0;
  free(value);
  return wanted;
}

int remove_own_cache(const CacheChoice* choice) {
  if (!expand_cache_root(choice, removal_root)) return 0;
  bool all_removed = true;
  for (int number = 1; number <= BUNDLE_FOLDER_NAMES; ++number) {
    if (!name_application_folder(choice, number) || check_own_directory(removal_folder) != OWN_DIRECTORY) continue;
    if (!empty_application_folder()) all_removed = false;
    // Only an empty folder goes: whatever else the user keeps there stays.
    wchar_t long_form[LONG_PATH_CAPACITY];
    system_calls.RemoveDirectoryW(long_path_form(removal_folder, long_form));
  }
  return all_removed ? 0 : CACHE_REMOVAL_IN_USE_STATUS;
}
