// Directory creation behind the unpacking and the cached mode; see
// directory_maker.h. Main thread only. Paths reach the system in their long
// form from the threshold on.
#include "payload/directory_maker.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"

namespace {

void (*directory_home_source)(wchar_t* home);

// Directories known to exist, seeded with the home directory; never
// reordered, freed only by forget_known_directories.
constexpr int KNOWN_DIRECTORY_CAPACITY = 1024;
wchar_t* known_directories[KNOWN_DIRECTORY_CAPACITY];
int known_directory_count;
bool home_directory_known;

// The directory the last request was for. Entries come sorted by name, so
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

// The home directory exists: a climb up from a path below it stops there.
void remember_home_directory() {
  if (home_directory_known) return;
  home_directory_known = true;
  if (directory_home_source == nullptr) return;
  wchar_t home[PATH_CAPACITY];
  directory_home_source(home);
  remember_directory(home);
}

bool below_extraction_dir(const wchar_t* path) {
  size_t length = wcslen(extraction_dir);
  return length != 0 && wcsncmp(path, extraction_dir, length) == 0 && path[length] == L'\\';
}

}  // namespace

void set_directory_home_source(void (*find_home)(wchar_t* home)) { directory_home_source = find_home; }

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
  bool made =
      system_calls.CreateDirectoryW(long_path_form(path, long_form), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
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
