// The removal of a directory that a lock file guards; see locked_removal.h.
// Safe on several threads at once: the walk keeps its path and find handles
// on its own stack.
#include "shutdown/locked_removal.h"

#include "common/bounded_text.h"
#include "common/directory_check.h"
#include "common/long_path.h"
#include "common/system_calls.h"

namespace {

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

const wchar_t* last_component(const wchar_t* path) {
  const wchar_t* component = path;
  for (const wchar_t* unit = path; *unit != L'\0'; ++unit) {
    if (*unit == L'\\' || *unit == L'/') component = unit + 1;
  }
  return component;
}
