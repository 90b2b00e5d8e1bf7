// The payload entry loop and the directory creation behind it; see
// unpack_payload.h. Entry names are trusted to be the build tool's, except
// that none may reach outside the extraction directory or overrun its buffer.
#include "payload/unpack_payload.h"

#include <stdint.h>
#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "paths/path_spec.h"
#include "payload/payload_format.h"
#include "payload/payload_reader.h"
#include "shutdown/error_report.h"

wchar_t* known_directories[KNOWN_DIRECTORY_CAPACITY];
int known_directory_count;

namespace {

wchar_t entry_name[ENTRY_NAME_CAPACITY];
wchar_t target_path[PATH_CAPACITY];
uint8_t write_buffer[ENTRY_WRITE_CHUNK];
// The directory the last entry went into. Entries come sorted by name, so
// nearly every entry goes where the one before it went: one comparison,
// however many directories the payload has (an application tree can have
// thousands, more than the list of known directories holds).
wchar_t last_directory[PATH_CAPACITY];

void read_entry_name() {
  for (size_t length = 0; length < ENTRY_NAME_CAPACITY; ++length) {
    uint8_t unit[2];
    read_payload_bytes(unit, sizeof unit);
    entry_name[length] = static_cast<wchar_t>(unit[0] | (unit[1] << 8));
    if (entry_name[length] == L'\0') return;
  }
  fatal_error("Error, attached data holds a file name longer than 1023 units.");
}

bool is_separator(wchar_t unit) {
  return unit == L'\\' || unit == L'/';
}

// A component that Windows would read as the parent directory: "..", and the
// forms it trims to "..", made of dots and blanks only.
bool is_parent_component(const wchar_t* start, const wchar_t* end) {
  int dots = 0;
  for (const wchar_t* unit = start; unit < end; ++unit) {
    if (*unit == L'.') {
      ++dots;
    } else if (*unit != L' ') {
      return false;
    }
  }
  return dots >= 2;
}

// Whether the name, appended to the extraction directory, stays below it.
// Windows takes "/" for a separator too, so both count here.
bool stays_inside(const wchar_t* name) {
  if (is_separator(name[0]) || wcschr(name, L':') != nullptr) return false;
  const wchar_t* start = name;
  for (const wchar_t* unit = name;; ++unit) {
    if (*unit == L'\0' || is_separator(*unit)) {
      if (is_parent_component(start, unit)) return false;
      if (*unit == L'\0') return true;
      start = unit + 1;
    }
  }
}

uint64_t read_entry_size() {
  uint8_t bytes[ENTRY_SIZE_BYTES];
  read_payload_bytes(bytes, sizeof bytes);
  uint64_t size = 0;
  for (size_t i = ENTRY_SIZE_BYTES; i-- > 0;) size = (size << 8) | bytes[i];
  return size;
}

void write_entry(uint64_t size) {
  create_directory_path(target_path);
  HANDLE file = CreateFileW(target_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    print_error("Error, failed to open '%ls' for writing.\n", target_path);
    exit(2);
  }
  while (size != 0) {
    DWORD chunk = size < ENTRY_WRITE_CHUNK ? static_cast<DWORD>(size) : static_cast<DWORD>(ENTRY_WRITE_CHUNK);
    read_payload_bytes(write_buffer, chunk);
    DWORD written = 0;
    if (!system_calls.WriteFile(file, write_buffer, chunk, &written, nullptr)) {
      report_system_error("Error, couldn't unpack file to target path.", GetLastError());
      exit(2);
    }
    size -= chunk;
  }
  CloseHandle(file);
}

void remember_directory(const wchar_t* path) {
  if (known_directory_count >= KNOWN_DIRECTORY_CAPACITY) return;
  // A copy that cannot be made only costs a system call on the next request.
  wchar_t* copy = _wcsdup(path);
  if (copy != nullptr) known_directories[known_directory_count++] = copy;
}

}  // namespace

bool unpack_payload(UnpackMode mode) {
  for (;;) {
    read_entry_name();
    if (entry_name[0] == L'\0') {
      if (mode == UNPACK_ALL_ENTRIES) close_payload_stream();
      return first_entry_path[0] != L'\0';
    }
    if (!stays_inside(entry_name)) {
      print_error("Error, refusing to unpack '%ls' outside the target directory.\n", entry_name);
      exit(2);
    }
    copy_wide(target_path, PATH_CAPACITY, extraction_dir);
    append_wide(target_path, PATH_CAPACITY, L"\\");
    append_wide(target_path, PATH_CAPACITY, entry_name);
    if (first_entry_path[0] == L'\0') {
      copy_wide(first_entry_path, FIRST_ENTRY_PATH_CAPACITY, target_path);
      if (mode == UNPACK_FIRST_NAME_ONLY) return true;
    }
    write_entry(read_entry_size());
  }
}

void create_directory_path(const wchar_t* path) {
  if (path == nullptr) abort();
  wchar_t parent[PATH_CAPACITY];
  copy_wide(parent, PATH_CAPACITY, path);
  // The first unit is never a cut point: "\x" has no parent to make.
  wchar_t* cut = nullptr;
  for (size_t i = wcslen(parent); i-- > 1;) {
    if (parent[i] == L'\\') {
      cut = parent + i;
      break;
    }
  }
  if (cut == nullptr) return;
  *cut = L'\0';
  if (!create_directory(parent)) {
    create_directory_path(parent);
    create_directory(parent);  // a failure shows when the file cannot be opened
  }
}

bool create_directory(const wchar_t* path) {
  if (known_directory_count == 0) {
    // The home directory exists: the climb up from a path below it stops there.
    wchar_t home[PATH_CAPACITY];
    if (!expand_path_spec(home, L"{HOME}", PATH_CAPACITY)) report_spec_error(L"{HOME}");
    remember_directory(home);
  }
  if (last_directory[0] != L'\0' && wcscmp(last_directory, path) == 0) return true;
  for (int i = 0; i < known_directory_count; ++i) {
    if (wcscmp(known_directories[i], path) == 0) return true;
  }
  if (path[0] != L'\0' && path[1] == L':' && path[2] == L'\0') return true;  // a drive: "C:"
  if (CreateDirectoryW(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
    remember_directory(path);
    copy_wide(last_directory, PATH_CAPACITY, path);
    return true;
  }
  return false;
}
