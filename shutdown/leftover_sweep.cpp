// The sweep of earlier runs' leftovers; see leftover_sweep.h. Runs on a
// thread of its own beside the main thread and the console-event threads: it
// shares nothing with them but extraction_dir (complete before it starts) and
// its stop time (an atomic), and keeps its paths on its own stack. It never
// calls the C runtime's allocating or locking functions, so the process may
// end at any point of it; a removal cut short keeps its lock for the next run.
#include "shutdown/leftover_sweep.h"

#include "common/bounded_text.h"
#include "common/directory_check.h"
#include "common/launcher_names.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "shutdown/locked_removal.h"

namespace {

// GetTickCount64's reading after which the sweep stops; 0 until limited.
volatile LONG64 stop_at;
HANDLE sweep_thread;

bool time_is_up() {
  ULONGLONG limit = static_cast<ULONGLONG>(InterlockedCompareExchange64(&stop_at, 0, 0));
  return limit != 0 && GetTickCount64() >= limit;
}

uint64_t filetime_value(const FILETIME& time) { return filetime_ticks(time.dwHighDateTime, time.dwLowDateTime); }

// The directory at path is the user's own and no link; *newest is the later
// of its creation and last-write times.
bool is_users_directory(const wchar_t* path, PSID user, uint64_t* newest) {
  HANDLE directory = INVALID_HANDLE_VALUE;
  if (open_directory_itself(path, READ_CONTROL | FILE_READ_ATTRIBUTES, &directory) != DIRECTORY_OPENED) return false;
  unsigned long error = 0;
  bool owned = directory_owner(directory, user, &error) == DIRECTORY_OWNED_BY_USER;
  FILE_BASIC_INFO information;
  bool read =
      system_calls.GetFileInformationByHandleEx(directory, FileBasicInfo, &information, sizeof information) != FALSE;
  CloseHandle(directory);
  if (!owned || !read) return false;
  uint64_t created = static_cast<uint64_t>(information.CreationTime.QuadPart);
  uint64_t written = static_cast<uint64_t>(information.LastWriteTime.QuadPart);
  *newest = created > written ? created : written;
  return true;
}

// Takes on one candidate whose name and process have passed: true when its
// removal was begun. The lock, opened for deletion with no sharing, is held
// through the removal, so that nothing can join the directory meanwhile.
bool take_on(const wchar_t* path, const wchar_t* lock_path, uint64_t time, uint64_t now, PSID user) {
  uint64_t newest = 0;
  if (!is_users_directory(path, user, &newest)) return false;
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE lock = system_calls.CreateFileW(long_path_form(lock_path, long_form), GENERIC_READ | DELETE, 0, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (lock != INVALID_HANDLE_VALUE) {
    remove_locked_directory(path, lock, lock_path, time_is_up);
    return true;
  }
  // Held by a process (ERROR_SHARING_VIOLATION), or unreadable: in use.
  if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  // Without a lock: an empty directory (a run killed before its lock) goes at
  // any age, as removing a directory removes only an empty one.
  if (system_calls.RemoveDirectoryW(long_path_form(path, long_form))) return true;
  if (newest < time) newest = time;
  if (newest > now || now - newest < SWEEP_LOCKLESS_AGE_100NS) return false;
  remove_locked_directory(path, nullptr, lock_path, time_is_up);
  return true;
}

// The directories beside extraction_dir whose names have the spec's form,
// listed by the names that begin with the form's literal start.
struct Siblings {
  const wchar_t* own_name;
  const wchar_t* name_form;
  TextCursor path;  // the parent with a backslash, then the name last handed out
  size_t parent_length;
  HANDLE search;
  WIN32_FIND_DATAW found;
  bool listed;  // `found` holds an entry not yet looked at
  bool bundles;
};

bool list_siblings(const SweepForm* form, wchar_t (&path_buffer)[PATH_CAPACITY], Siblings* siblings) {
  siblings->own_name = last_component(extraction_dir);
  if (siblings->own_name == extraction_dir) return false;
  siblings->name_form = last_component(form->spec);
  siblings->path = text_start(path_buffer, PATH_CAPACITY);
  text_append(&siblings->path, extraction_dir);
  text_cut(&siblings->path, static_cast<size_t>(siblings->own_name - extraction_dir));
  siblings->parent_length = siblings->path.length;
  siblings->bundles = form->bundles;
  // Bundles share no start with the form: then everything is listed.
  for (const wchar_t* unit = siblings->name_form; !form->bundles && *unit != L'\0' && *unit != L'{'; ++unit) {
    text_append_unit(&siblings->path, *unit);
  }
  text_append_unit(&siblings->path, L'*');
  wchar_t long_form[LONG_PATH_CAPACITY];
  siblings->search = system_calls.FindFirstFileExW(long_path_form(siblings->path.text, long_form), FindExInfoBasic,
                                                   &siblings->found, FindExSearchNameMatch, nullptr, 0);
  siblings->listed = siblings->search != INVALID_HANDLE_VALUE;
  return siblings->listed;
}

// The next sibling that is a directory (by the listing, which only picks
// candidates: the handle decides) of the form, not this run's own; its path
// in siblings->path. False at the end.
bool next_sibling(Siblings* siblings, uint64_t* pid, uint64_t* time, bool* bundle) {
  for (; siblings->listed; siblings->listed = system_calls.FindNextFileW(siblings->search, &siblings->found)) {
    const WIN32_FIND_DATAW& found = siblings->found;
    bool plain_directory = (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                           FILE_ATTRIBUTE_DIRECTORY;
    if (!plain_directory || wcscmp(found.cFileName, siblings->own_name) == 0) continue;
    *bundle = false;
    if (!name_has_form(siblings->name_form, found.cFileName, pid, time)) {
      if (!siblings->bundles || !is_bundle_folder_name(found.cFileName)) continue;
      *bundle = true;  // no process: the lock alone decides
      *pid = 0;
      *time = 0;
    }
    text_cut(&siblings->path, siblings->parent_length);
    if (!text_try_append(&siblings->path, found.cFileName)) continue;
    siblings->listed = system_calls.FindNextFileW(siblings->search, &siblings->found);
    return true;
  }
  return false;
}

void stop_listing(Siblings* siblings) { FindClose(siblings->search); }

// A bundle folder's name: the id, "." and two digits at most.
constexpr size_t BUNDLE_NAME_CAPACITY = BUNDLE_ID_UNITS + 4;

// The bundles beside this run's that the sweep keeps, the most recently used
// first.
struct RecentBundles {
  wchar_t names[KEPT_RECENT_BUNDLES][BUNDLE_NAME_CAPACITY];
  uint64_t used[KEPT_RECENT_BUNDLES];
  int count;
};

// The last-write time of the file name below the directory at path, into
// *written; false when it is no file or cannot be read. file is scratch.
bool file_written(const wchar_t* path, const char16_t* name, wchar_t (&file)[PATH_CAPACITY], uint64_t* written) {
  TextCursor file_path = text_start(file, PATH_CAPACITY);
  if (!text_try_join_path(&file_path, path, as_wide(name))) return false;
  wchar_t long_form[LONG_PATH_CAPACITY];
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!system_calls.GetFileAttributesExW(long_path_form(file, long_form), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  *written = filetime_value(attributes.ftLastWriteTime);
  return true;
}

// Whether the bundle at path counts as recently used, and when it was used:
// its lock stamped within the bound (a time ahead of the clock counts, as a
// clock set back leaves it), and its record there, which a start that found
// one of its files at fault removes. A start that finds it damaged stamps it
// long past.
bool recently_used(const wchar_t* path, uint64_t now, wchar_t (&file)[PATH_CAPACITY], uint64_t* used) {
  uint64_t ignored = 0;
  if (!file_written(path, DIRECTORY_LOCK_NAME, file, used) || !file_written(path, BUNDLE_RECORD_NAME, file, &ignored)) {
    return false;
  }
  return *used > now || now - *used < KEPT_BUNDLE_AGE_100NS;
}

// Adds name among the kept ones when it was used later than one of them, or
// there is room.
void consider_recent(RecentBundles* recent, const wchar_t* name, uint64_t used) {
  if (wcslen(name) >= BUNDLE_NAME_CAPACITY) return;
  int at = recent->count;
  while (at > 0 && recent->used[at - 1] < used) --at;
  if (at == KEPT_RECENT_BUNDLES) return;
  int last = recent->count < KEPT_RECENT_BUNDLES ? recent->count : KEPT_RECENT_BUNDLES - 1;
  for (int move = last; move > at; --move) {
    recent->used[move] = recent->used[move - 1];
    copy_wide(recent->names[move], BUNDLE_NAME_CAPACITY, recent->names[move - 1]);
  }
  recent->used[at] = used;
  copy_wide(recent->names[at], BUNDLE_NAME_CAPACITY, name);
  if (recent->count < KEPT_RECENT_BUNDLES) ++recent->count;
}

bool is_kept(const RecentBundles* recent, const wchar_t* name) {
  for (int at = 0; at < recent->count; ++at) {
    if (wcscmp(recent->names[at], name) == 0) return true;
  }
  return false;
}

// One look over the bundles beside this run's before anything is removed:
// which are kept depends on all of them.
void choose_recent_bundles(const SweepForm* form, uint64_t now, wchar_t (&path_buffer)[PATH_CAPACITY],
                           wchar_t (&file)[PATH_CAPACITY], RecentBundles* recent) {
  recent->count = 0;
  Siblings siblings;
  if (!list_siblings(form, path_buffer, &siblings)) return;
  uint64_t pid = 0;
  uint64_t time = 0;
  bool bundle = false;
  uint64_t used = 0;
  while (next_sibling(&siblings, &pid, &time, &bundle)) {
    if (bundle && recently_used(siblings.path.text, now, file, &used)) {
      consider_recent(recent, siblings.path.text + siblings.parent_length, used);
    }
  }
  stop_listing(&siblings);
}

DWORD WINAPI run_sweep(void* form) {
  sweep_leftovers(static_cast<const SweepForm*>(form));
  return 0;
}

}  // namespace

// ERROR_INVALID_PARAMETER is the system's answer for an id nobody has.
bool run_may_live(uint64_t pid, uint64_t time) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  FILETIME created, ended, kernel, user;
  DWORD status = 0;
  // A process that has ended stays visible while anyone holds a handle on it.
  bool live = !GetExitCodeProcess(process, &status) || status == STILL_ACTIVE;
  bool read = GetProcessTimes(process, &created, &ended, &kernel, &user) != FALSE;
  CloseHandle(process);
  return live && (!read || filetime_value(created) <= time);
}

int sweep_leftovers(const SweepForm* form) {
  PSID user = current_user_sid();
  if (user == nullptr) return 0;
  FILETIME clock;
  GetSystemTimeAsFileTime(&clock);
  const uint64_t now = filetime_value(clock);
  wchar_t path_buffer[PATH_CAPACITY];
  wchar_t lock_path_buffer[PATH_CAPACITY];
  RecentBundles recent;
  recent.count = 0;
  if (form->bundles) choose_recent_bundles(form, now, path_buffer, lock_path_buffer, &recent);
  Siblings siblings;
  if (!list_siblings(form, path_buffer, &siblings)) return 0;
  int taken = 0;
  uint64_t pid = 0;
  uint64_t time = 0;
  bool bundle = false;
  while (taken < SWEEP_DIRECTORIES_PER_RUN && !time_is_up() && next_sibling(&siblings, &pid, &time, &bundle)) {
    // A directory stamped after this moment was made while the clock read
    // earlier than it now does: nothing says which process is whose.
    if (!bundle && (time >= now || run_may_live(pid, time))) continue;
    if (bundle && is_kept(&recent, siblings.path.text + siblings.parent_length)) continue;
    TextCursor lock_path = text_start(lock_path_buffer, PATH_CAPACITY);
    if (!text_try_join_path(&lock_path, siblings.path.text, form->lock_name)) continue;
    if (take_on(siblings.path.text, lock_path.text, time, now, user)) ++taken;
  }
  stop_listing(&siblings);
  return taken;
}

// A thread costs about as much as the rest of a run's additions together
// (under Wine 1.4 ms of a 55 ms run of the sample application, pinned to one
// CPU): it is made only when a directory of the form lies beside this run's.
// The look costs one listing, made after the child runs.
void start_leftover_sweep(const SweepForm* form) {
  wchar_t path_buffer[PATH_CAPACITY];
  Siblings siblings;
  uint64_t pid = 0;
  uint64_t time = 0;
  bool bundle = false;
  if (!list_siblings(form, path_buffer, &siblings)) return;
  bool in_sight = next_sibling(&siblings, &pid, &time, &bundle);
  stop_listing(&siblings);
  if (in_sight) sweep_thread = CreateThread(nullptr, 0, run_sweep, const_cast<SweepForm*>(form), 0, nullptr);
}

void limit_leftover_sweep() {
  InterlockedExchange64(&stop_at, static_cast<LONG64>(GetTickCount64() + SWEEP_AFTER_END_MS));
}

void finish_leftover_sweep() {
  if (sweep_thread == nullptr) return;
  if (InterlockedCompareExchange64(&stop_at, 0, 0) == 0) limit_leftover_sweep();
  ULONGLONG limit = static_cast<ULONGLONG>(InterlockedCompareExchange64(&stop_at, 0, 0));
  ULONGLONG now = GetTickCount64();
  system_calls.WaitForSingleObject(sweep_thread, limit > now ? static_cast<DWORD>(limit - now) : 0);
  // A sweep still in a call then ends with the process.
  CloseHandle(sweep_thread);
  sweep_thread = nullptr;
}

bool cut_leftover_sweep(DWORD wait_ms) {
  if (sweep_thread == nullptr) return false;
  bool ended = system_calls.WaitForSingleObject(sweep_thread, wait_ms) == WAIT_OBJECT_0;
  if (!ended) {
    InterlockedExchange64(&stop_at, static_cast<LONG64>(GetTickCount64()));
    // Closing its lock before this process ends lets whoever goes on with
    // the removal open it at once; a thread still in a call past the bound
    // ends with the process, which closes the lock as well.
    system_calls.WaitForSingleObject(sweep_thread, SWEEP_CUT_WAIT_MS);
  }
  CloseHandle(sweep_thread);
  sweep_thread = nullptr;
  return !ended;
}
