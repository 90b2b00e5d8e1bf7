// The payload entry loop and the directory creation behind it; see
// unpack_payload.h. Entry names are trusted to be the build tool's, except
// that none may reach outside the extraction directory, name a device or
// overrun its buffer.
#include "payload/unpack_payload.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "paths/path_spec.h"
#include "payload/closing_pool.h"
#include "payload/directory_lock.h"
#include "payload/entry_walk.h"
#include "payload/payload_format.h"
#include "payload/payload_reader.h"
#include "payload/private_directory.h"
#include "shutdown/error_report.h"

bool extraction_dir_private;
void (*unpacked_entry_hook)(const wchar_t* name, uint64_t size);

namespace {

// Directories known to exist, seeded with the home directory; never
// reordered, freed only by forget_known_directories.
constexpr int KNOWN_DIRECTORY_CAPACITY = 1024;
wchar_t* known_directories[KNOWN_DIRECTORY_CAPACITY];
int known_directory_count;
bool home_directory_known;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

wchar_t entry_name[ENTRY_NAME_CAPACITY];
wchar_t target_path[PATH_CAPACITY];
uint8_t write_buffer[ENTRY_WRITE_CHUNK];
// The directory the last entry went into. Entries come sorted by name, so
// nearly every entry goes where the one before it went: one comparison,
// however many directories the payload has (an application tree can have
// thousands, more than the list of known directories holds).
wchar_t last_directory[PATH_CAPACITY];

// An index over known_directories, so that a directory the last entry did not
// use costs one hash and a probe or two, not a comparison with every entry.
// Open addressing with linear probing; twice the list's capacity, so a probe
// always ends at a free slot. A slot holds the list index + 1, 0 when free.
constexpr uint32_t KNOWN_DIRECTORY_SLOTS = 2 * KNOWN_DIRECTORY_CAPACITY;
static_assert((KNOWN_DIRECTORY_SLOTS & (KNOWN_DIRECTORY_SLOTS - 1)) == 0, "slots are masked, not divided");
int16_t known_directory_slots[KNOWN_DIRECTORY_SLOTS];

char16_t* entry_name_units() {
  return reinterpret_cast<char16_t*>(entry_name);
}

uint32_t path_hash(const wchar_t* path) {  // FNV-1a over the UTF-16 units
  uint32_t hash = 2166136261u;
  for (; *path != L'\0'; ++path) hash = (hash ^ static_cast<uint16_t>(*path)) * 16777619u;
  return hash;
}

// The slot that holds path, or the free slot where it would go.
uint32_t known_directory_slot(const wchar_t* path) {
  uint32_t slot = path_hash(path) & (KNOWN_DIRECTORY_SLOTS - 1);
  while (known_directory_slots[slot] != 0 && wcscmp(known_directories[known_directory_slots[slot] - 1], path) != 0) {
    slot = (slot + 1) & (KNOWN_DIRECTORY_SLOTS - 1);
  }
  return slot;
}

// create_directory makes the extraction directory user-only; tried directly
// first, like every level, and its ancestors made only when that fails.
void remember_directory(const wchar_t* path);

// The home directory exists: a climb up from a path below it stops there.
// Asked for only when a climb begins, so that a run whose TEMP exists never
// asks the shell for the profile folder.
void remember_home_directory() {
  if (home_directory_known) return;
  home_directory_known = true;
  wchar_t home[PATH_CAPACITY];
  if (!expand_path_spec(home, L"{HOME}", PATH_CAPACITY)) report_spec_error(L"{HOME}");
  remember_directory(home);
}

bool below_extraction_dir(const wchar_t* path) {
  size_t length = wcslen(extraction_dir);
  return length != 0 && wcsncmp(path, extraction_dir, length) == 0 && path[length] == L'\\';
}

// Why the extraction directory could not be made, from its latest attempt.
unsigned long private_directory_error;

void make_extraction_dir_private() {
  if (extraction_dir_private) return;
  extraction_dir_private = create_directory(extraction_dir);
  if (!extraction_dir_private) {
    create_directory_path(extraction_dir);
    extraction_dir_private = create_directory(extraction_dir);
  }
  if (!extraction_dir_private) {
    report_system_error_about("Error, couldn't create the extraction directory", extraction_dir,
                              private_directory_error);
    exit(2);
  }
  lock_extraction_dir();  // before the first entry is written
}

// The file being written; one at a time.
HANDLE entry_file = INVALID_HANDLE_VALUE;

void begin_entry_file(void*, uint64_t size) {
  begin_unpacked_file();
  make_extraction_dir_private();
  if (unpacked_entry_hook != nullptr) unpacked_entry_hook(target_path + wcslen(extraction_dir) + 1, size);
  create_directory_path(target_path);
  wchar_t long_form[LONG_PATH_CAPACITY];
  entry_file = system_calls.CreateFileW(long_path_form(target_path, long_form), GENERIC_WRITE, FILE_SHARE_WRITE,
                                        nullptr, CREATE_ALWAYS, 0, nullptr);
  if (entry_file == INVALID_HANDLE_VALUE) {
    print_error("Error, failed to open '%ls' for writing.\n", target_path);
    exit(2);
  }
}

void write_entry_file(void*, const uint8_t* bytes, size_t count) {
  give_up_if_removal_waits(entry_file);
  DWORD written = 0;
  if (!system_calls.WriteFile(entry_file, bytes, static_cast<DWORD>(count), &written, nullptr)) {
    report_system_error("Error, couldn't unpack file to target path.", GetLastError());
    exit(2);
  }
}

void end_entry_file(void*) {
  finish_unpacked_file(entry_file);
  entry_file = INVALID_HANDLE_VALUE;
}

// Every entry's path is built here; the re-launched instance wants only the
// first, the application DLL's.
bool take_entry_name(void* context, const char16_t* name, size_t length) {
  TextCursor target = text_start(target_path, PATH_CAPACITY);
  text_append(&target, extraction_dir);
  text_append_unit(&target, L'\\');
  // The name rule takes "/" as a separator too; directories are made at "\\"
  // only, and a long path's "\\?\\" form takes "/" literally.
  for (size_t at = 0; at < length; ++at) text_append_unit(&target, name[at] == u'/' ? L'\\' : name[at]);
  if (first_entry_path[0] != L'\0') return true;
  copy_wide(first_entry_path, FIRST_ENTRY_PATH_CAPACITY, target_path);
  return *static_cast<const UnpackMode*>(context) != UNPACK_FIRST_NAME_ONLY;
}

// A link at the extraction directory's path (planted in a shared TEMP) would
// have everything unpacked into, run from and at the end emptied out of the
// directory it leads to: the run stops before anything is written.
// A directory of another user's at that path means the same: they could
// change what the application runs from. Other failures may pass once the
// directory's parents are made; the caller reports them if they do not.
bool make_private_directory(const wchar_t* path) {
  switch (create_private_directory(path, &private_directory_error)) {
    case PRIVATE_DIRECTORY_READY:
      return true;
    case PRIVATE_DIRECTORY_FAILED:
      return false;
    case PRIVATE_DIRECTORY_IS_LINK:
      print_error("Error, refusing to unpack into '%ls', which is a link to elsewhere.\n", path);
      break;
    case PRIVATE_DIRECTORY_FOREIGN_OWNER:
      print_error("Error, refusing to unpack into '%ls', which another user made.\n", path);
      break;
  }
  exit(2);
}

void remember_directory(const wchar_t* path) {
  // One slot stays for the home directory until it is taken.
  if (known_directory_count >= KNOWN_DIRECTORY_CAPACITY - (home_directory_known ? 0 : 1)) return;
  uint32_t slot = known_directory_slot(path);
  if (known_directory_slots[slot] != 0) return;
  // A copy that cannot be made only costs a system call on the next request.
  wchar_t* copy = _wcsdup(path);
  if (copy == nullptr) return;
  known_directories[known_directory_count++] = copy;
  known_directory_slots[slot] = static_cast<int16_t>(known_directory_count);
}

}  // namespace

bool unpack_payload(UnpackMode mode) {
  const EntrySink sink = {take_entry_name, begin_entry_file, write_entry_file, end_entry_file, &mode};
  switch (payload_walk_entries(&payload_stream, entry_name_units(), write_buffer, ENTRY_WRITE_CHUNK, &sink)) {
    case ENTRY_WALK_END_MARKER:
      if (mode == UNPACK_ALL_ENTRIES) {
        finish_payload_stream();
        close_payload_stream();
      }
      return first_entry_path[0] != L'\0';
    case ENTRY_WALK_STOPPED:
      return true;
    case ENTRY_WALK_NAME_TOO_LONG:
      fatal_error("Error, attached data holds a file name longer than 1023 units.");
    case ENTRY_WALK_OUTSIDE:
      print_error("Error, refusing to unpack '%ls' outside the target directory.\n", entry_name);
      exit(2);
    case ENTRY_WALK_CORRUPT:
      break;
  }
  fatal_error("Error, couldn't decode attached data.");
}

void create_directory_path(const wchar_t* path) {
  if (path == nullptr) abort();
  // One buffer for every level, so that a name of 511 levels costs no more
  // stack than one of a single level. Going up, each level is cut at its last
  // backslash; going down, the unit at the end of the string is that cut.
  static wchar_t level_buffer[PATH_CAPACITY];
  TextCursor level = text_start(level_buffer, PATH_CAPACITY);
  text_append(&level, path);
  size_t scan = level.length;
  size_t failed_levels = 0;
  for (;;) {
    // The first unit is never a cut point: "\x" has no parent to make.
    while (scan > 1 && level.text[scan - 1] != L'\\') --scan;
    if (scan <= 1) break;
    text_cut(&level, --scan);
    if (create_directory(level.text)) {
      if (failed_levels > 0) text_rejoin(&level, L'\\');  // down to the child that failed
      break;
    }
    // Below the extraction directory, made and remembered before any entry,
    // a climb stops there: only one that leaves it may need the home directory.
    if (!below_extraction_dir(level.text)) remember_home_directory();
    ++failed_levels;
  }
  // Each level that failed is tried once more, parents before children; a
  // failure shows when the file cannot be opened.
  while (failed_levels-- > 0) {
    create_directory(level.text);
    if (failed_levels > 0) text_rejoin(&level, L'\\');
  }
}

bool create_directory(const wchar_t* path) {
  if (last_directory[0] != L'\0' && wcscmp(last_directory, path) == 0) return true;
  if (known_directory_slots[known_directory_slot(path)] != 0) return true;
  if (path[0] != L'\0' && path[1] == L':' && path[2] == L'\0') return true;  // a drive: "C:"
  wchar_t long_form[LONG_PATH_CAPACITY];
  bool made = wcscmp(path, extraction_dir) == 0
                  ? make_private_directory(path)
                  : system_calls.CreateDirectoryW(long_path_form(path, long_form), nullptr) ||
                        GetLastError() == ERROR_ALREADY_EXISTS;
  if (made) {
    remember_directory(path);
    copy_wide(last_directory, PATH_CAPACITY, path);
  }
  return made;
}

void forget_known_directories() {
  for (int i = 0; i < known_directory_count; ++i) free(known_directories[i]);
  known_directory_count = 0;
  home_directory_known = false;
  memset(known_directory_slots, 0, sizeof known_directory_slots);
  text_start(last_directory, PATH_CAPACITY);
}
