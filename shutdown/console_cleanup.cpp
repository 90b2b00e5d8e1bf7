// Console control handling and removal of the extraction directory; see
// console_cleanup.h. Runs on the main thread and on the system's console-event
// threads at once, without locks: the child handle changes hands only by an
// atomic exchange, the directory path is complete before any of it runs, and
// the walk keeps its path and find handles on its own stack.
#include "shutdown/console_cleanup.h"

#include <shellapi.h>

#include "common/bounded_text.h"
#include "common/directory_check.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_gate.h"

namespace {

bool directory_present(const wchar_t* path) {
  wchar_t long_form[LONG_PATH_CAPACITY];
  DWORD attributes = system_calls.GetFileAttributesW(long_path_form(path, long_form));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// False when the shell's delete is not there to ask (shell32 cannot be bound).
bool delete_extraction_dir() {
  static const wchar_t nothing[] = L"";
  // extraction_dir has a unit beyond the longest path the expansion may write
  // there, always NUL, so it is the double-NUL source list as it stands.
  SHFILEOPSTRUCTW request = {};
  request.hwnd = nullptr;
  request.wFunc = FO_DELETE;
  request.pFrom = extraction_dir;
  request.pTo = nothing;
  request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  request.fAnyOperationsAborted = FALSE;
  request.hNameMappings = nullptr;
  request.lpszProgressTitle = nothing;
  return system_calls.SHFileOperationW(&request) != SHELL_DELETE_UNAVAILABLE;
}

// Every level of the walk adds a separator and at least one unit to the path,
// so the path buffer cannot name more levels than this.
constexpr size_t WALK_DEPTH_CAPACITY = PATH_CAPACITY / 2;

bool is_dot_entry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Starts listing the directory that path names; the path is left as it was.
HANDLE open_listing(TextCursor* path, WIN32_FIND_DATAW* found) {
  size_t length = path->length;
  if (!text_try_append(path, L"\\*")) return INVALID_HANDLE_VALUE;
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE search = system_calls.FindFirstFileExW(long_path_form(path->text, long_form), FindExInfoBasic, found,
                                                FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  text_cut(path, length);
  return search;
}

// Appends "\name"; false, with the path as it was, when the entry's path
// does not fit (the shell's attempts get it instead).
bool enter_name(TextCursor* path, const wchar_t* name) {
  size_t length = path->length;
  bounded_length(name, MAX_PATH);
  if (text_try_append_unit(path, L'\\') && text_try_append(path, name)) return true;
  text_cut(path, length);
  return false;
}

// Windows refuses to delete what is marked read-only. A link keeps its
// attributes: changing them could reach its target.
void clear_read_only(const wchar_t* path, DWORD attributes) {
  if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_READONLY) {
    wchar_t long_form[LONG_PATH_CAPACITY];
    system_calls.SetFileAttributesW(long_path_form(path, long_form), FILE_ATTRIBUTE_NORMAL);
  }
}

BOOL remove_directory(const wchar_t* path) {
  wchar_t long_form[LONG_PATH_CAPACITY];
  return system_calls.RemoveDirectoryW(long_path_form(path, long_form));
}

// A link (junction, symbolic link, mount point) is removed as itself, with
// RemoveDirectoryW or DeleteFileW as its directory bit says, and never
// entered: nothing outside the extraction directory is touched.
BOOL remove_entry(const wchar_t* path, DWORD attributes) {
  clear_read_only(path, attributes);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return remove_directory(path);
  wchar_t long_form[LONG_PATH_CAPACITY];
  return system_calls.DeleteFileW(long_path_form(path, long_form));
}

enum WalkResult {
  WALK_EMPTIED,    // nothing is left below root but the entry passed over
  WALK_LEFT_SOME,  // something could not be removed (a file still open)
  WALK_STOPPED,    // stop said so
};

// Removes what it can of the tree below root, and root itself unless an
// entry of its own (keep, the lock) is passed over, before the shell's delete
// runs: that call costs milliseconds a file (under Wine several), a direct
// walk about what the file system itself costs. Iterative, one find handle a
// level, everything on the stack; each directory is listed once, so an entry
// that cannot be removed (a file still open) is passed over, not retried, and
// left to the shell's attempts. stop, if given, is asked between two entries.
WalkResult remove_tree(const wchar_t* root, const wchar_t* keep, bool (*stop)()) {
  wchar_t path_buffer[PATH_CAPACITY];
  HANDLE searches[WALK_DEPTH_CAPACITY];
  WIN32_FIND_DATAW found;
  TextCursor path = text_start(path_buffer, PATH_CAPACITY);
  text_append(&path, root);
  size_t depth = 0;
  searches[0] = open_listing(&path, &found);
  if (searches[0] == INVALID_HANDLE_VALUE) return WALK_EMPTIED;
  bool left = false;
  bool listed = true;  // `found` holds an entry of the current level not yet handled
  for (;;) {
    if (stop != nullptr && stop()) {
      for (size_t level = 0; level <= depth; ++level) FindClose(searches[level]);
      return WALK_STOPPED;
    }
    if (!listed) {
      // The level is done: its directory goes if nothing was left in it.
      FindClose(searches[depth]);
      if (depth == 0) {
        if (keep == nullptr && !remove_directory(path.text)) left = true;
        return left ? WALK_LEFT_SOME : WALK_EMPTIED;
      }
      if (!remove_directory(path.text)) left = true;
      --depth;
      text_cut(&path, static_cast<size_t>(wcsrchr(path.text, L'\\') - path.text));
    } else if (!is_dot_entry(found.cFileName) &&
               !(depth == 0 && keep != nullptr && _wcsicmp(found.cFileName, keep) == 0)) {
      DWORD attributes = found.dwFileAttributes;
      size_t directory_length = path.length;
      if (enter_name(&path, found.cFileName)) {
        bool plain_directory = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                               FILE_ATTRIBUTE_DIRECTORY;
        if (plain_directory && depth + 1 < WALK_DEPTH_CAPACITY) {
          clear_read_only(path.text, attributes);
          HANDLE search = open_listing(&path, &found);
          if (search != INVALID_HANDLE_VALUE) {
            searches[++depth] = search;
            continue;  // `found` now holds the new level's first entry
          }
        }
        if (!remove_entry(path.text, attributes)) left = true;
        text_cut(&path, directory_length);
      } else {
        left = true;
      }
    }
    listed = system_calls.FindNextFileW(searches[depth], &found);
  }
}

// Ends the child if it outlives grace_ms. False when there was no child to
// stop; otherwise *status is how it ended: its own exit code when it ended in
// time, STATUS_CONTROL_C_EXIT (what Windows reports for a console program
// ended by Ctrl+C) when it had to be ended, so that no killed run reads as a
// success. Taking the handle out first means no other thread can use it after
// it is closed here, and no two threads close it.
bool stop_child(DWORD grace_ms, DWORD* status) {
  HANDLE child = InterlockedExchangePointer(const_cast<HANDLE*>(&child_process), nullptr);
  if (child == nullptr) return false;
  if (system_calls.WaitForSingleObject(child, grace_ms) == WAIT_OBJECT_0) {
    if (!GetExitCodeProcess(child, status)) *status = 1;
  } else {
    TerminateProcess(child, STATUS_CONTROL_C_EXIT);
    *status = STATUS_CONTROL_C_EXIT;
  }
  CloseHandle(child);
  return true;
}

// The child ended by itself and the main thread has its status: an event
// that comes while the main thread cleans up finds no child to stop, yet the
// run's status is the child's all the same.
bool ended_child_status(DWORD* status) {
  if (InterlockedCompareExchange(&child_ended, 0, 0) == 0) return false;
  *status = child_end_status;
  return true;
}

// The shell's attempts, for what the walk left. Without the shell's delete
// the walk is all there is: no attempts to wait for.
void delete_with_shell() {
  if (!delete_extraction_dir()) return;
  for (int retry = 0; retry < DELETE_RETRIES; ++retry) {
    if (!directory_present(extraction_dir)) return;
    Sleep(DELETE_PAUSE_MS);
    if (!delete_extraction_dir()) return;
  }
}

void remove_extraction_dir() {
  if (!cleanup_armed) return;
  // The main thread may still be unpacking: it makes nothing more from here
  // on, and every file it opened is closed before the walk lists it.
  unpack_gate_close();
  HANDLE lock = InterlockedExchangePointer(const_cast<HANDLE*>(&directory_lock), nullptr);
  switch (remove_locked_directory(extraction_dir, lock, directory_lock_path, nullptr)) {
    case REMOVAL_DONE:
    // A link put at the directory's path after it was made is neither listed
    // nor handed to the shell: either would empty the directory it leads to.
    case REMOVAL_REFUSED_LINK:
      return;
    case REMOVAL_LEFT_SOME:
    case REMOVAL_STOPPED:
      break;
  }
  // The shell, and the time it takes to load, only for what the walk left.
  if (!directory_present(extraction_dir)) return;
  delete_with_shell();
  // Something outlives the run (a process still holds a file). The shell may
  // have taken the lock with the rest: put back, unheld, it lets a later
  // run's sweep finish the removal once the holder lets go.
  if (lock == nullptr || !directory_present(extraction_dir)) return;
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE again = system_calls.CreateFileW(long_path_form(directory_lock_path, long_form), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (again != INVALID_HANDLE_VALUE) system_calls.CloseHandle(again);
}

}  // namespace

LockedRemoval remove_locked_directory(const wchar_t* root, HANDLE lock, const wchar_t* lock_path, bool (*stop)()) {
  HANDLE opened = INVALID_HANDLE_VALUE;
  DirectoryOpen checked = open_directory_itself(root, FILE_READ_ATTRIBUTES, &opened);
  if (checked == DIRECTORY_OPENED) system_calls.CloseHandle(opened);
  if (checked == DIRECTORY_IS_LINK) {
    // The lock's path leads through root: it stays too.
    if (lock != nullptr) system_calls.CloseHandle(lock);
    return REMOVAL_REFUSED_LINK;
  }
  WalkResult walked = remove_tree(root, lock == nullptr ? nullptr : last_component(lock_path), stop);
  if (lock != nullptr) system_calls.CloseHandle(lock);
  if (walked == WALK_STOPPED) return REMOVAL_STOPPED;
  if (walked == WALK_LEFT_SOME) return REMOVAL_LEFT_SOME;
  if (lock == nullptr) return REMOVAL_DONE;
  wchar_t long_form[LONG_PATH_CAPACITY];
  system_calls.DeleteFileW(long_path_form(lock_path, long_form));
  return remove_directory(root) ? REMOVAL_DONE : REMOVAL_LEFT_SOME;
}

DWORD child_grace_ms(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? CHILD_GRACE_MS : SYSTEM_END_CHILD_GRACE_MS;
}

BOOL WINAPI console_ctrl_handler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  DWORD status = 0;
  bool stopped = stop_child(child_grace_ms(event), &status) || ended_child_status(&status);
  remove_extraction_dir();
  // The main thread, woken by the child's end, returns the same status; the
  // system's default handling, which FALSE hands the event to, would race it
  // with STATUS_CONTROL_C_EXIT even for a child that ended with its own (and
  // under Wine it ends the process with 0).
  if (stopped) system_calls.ExitProcess(status);
  return FALSE;
}

void note_child_end(DWORD status) {
  child_end_status = status;
  InterlockedExchange(&child_ended, TRUE);
}

void cleanup_extraction() {
  DWORD status = 0;
  stop_child(CHILD_GRACE_MS, &status);
  remove_extraction_dir();
}

const wchar_t* last_component(const wchar_t* path) {
  const wchar_t* component = path;
  for (const wchar_t* unit = path; *unit != L'\0'; ++unit) {
    if (*unit == L'\\' || *unit == L'/') component = unit + 1;
  }
  return component;
}
