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
#include "common/error_report.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_progress.h"
#include "payload/closing_pool.h"
#include "payload/directory_lock.h"
#include "payload/directory_maker.h"
#include "payload/entry_walk.h"
#include "payload/payload_format.h"
#include "payload/payload_reader.h"
#include "payload/private_directory.h"

bool extraction_dir_private;
void (*unpacked_entry_hook)(const wchar_t* name, uint64_t size);
void (*unpack_progress_hook)(uint64_t done, uint64_t total);

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

wchar_t entry_name[ENTRY_NAME_CAPACITY];
wchar_t target_path[PATH_CAPACITY];
uint8_t write_buffer[ENTRY_WRITE_CHUNK];
char16_t* entry_name_units() { return reinterpret_cast<char16_t*>(entry_name); }

// Why the extraction directory could not be made, from its latest attempt.
unsigned long private_directory_error;

bool make_private_directory(const wchar_t* path);

// Whether the caller made the extraction directory for this user alone itself.
bool extraction_dir_made;

// Tried directly first, like every level, and its ancestors made only when
// that fails.
void make_extraction_dir_private() {
  if (extraction_dir_private) return;
  extraction_dir_private = extraction_dir_made || make_private_directory(extraction_dir);
  if (!extraction_dir_private) {
    create_directory_path(extraction_dir);
    extraction_dir_private = make_private_directory(extraction_dir);
  }
  if (!extraction_dir_private) {
    report_system_error_about("Error, couldn't create the extraction directory", extraction_dir,
                              private_directory_error);
    end_after_report(2);
  }
  remember_directory(extraction_dir);
  lock_extraction_dir();  // before the first entry is written
}

void tell_progress() {
  if (unpack_progress_hook != nullptr) unpack_progress_hook(payload_stream.input.pos, payload_stream.input.size);
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
    end_after_report(2);
  }
  tell_progress();  // many small files may take as long as one large one
}

void write_entry_file(void*, const uint8_t* bytes, size_t count) {
  give_up_if_removal_waits(entry_file);
  write_whole(entry_file, bytes, count);
  tell_progress();
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
  end_after_report(2);
}

}  // namespace

void write_whole(HANDLE file, const uint8_t* bytes, size_t count) {
  // A write that reports success with fewer bytes (Wine's, as a volume
  // fills) is followed by one for the rest, whose failure says why; one that
  // makes no progress at all stops the run too. Never a file cut short that
  // the application then runs from.
  while (count > 0) {
    DWORD written = 0;
    if (!system_calls.WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr)) {
      report_system_error("Error, couldn't unpack file to target path.", GetLastError());
      end_after_report(2);
    }
    if (written == 0 || written > count) {
      report_system_error("Error, couldn't unpack file to target path.", ERROR_WRITE_FAULT);
      end_after_report(2);
    }
    bytes += written;
    count -= written;
  }
}

void use_unpacked_directory(const wchar_t* directory) {
  if (directory != extraction_dir) copy_wide(extraction_dir, PATH_CAPACITY, directory);
  extraction_dir_private = false;
  extraction_dir_made = false;
  forget_known_directories();
  first_entry_path[0] = L'\0';
}

void forget_unpack() { use_unpacked_directory(L""); }

void begin_unpack(const wchar_t* directory, ExtractionDirectory state) {
  use_unpacked_directory(directory);
  extraction_dir_made = state == EXTRACTION_DIR_MADE;
}

void end_unpack() {
  if (unpack_progress_hook == nullptr) {
    drain_closing_pool();
  } else {
    drain_closing_pool_between_waits(tell_progress, PROGRESS_STEP_MS);
  }
}

void follow_unpacked_directory(const wchar_t* directory) {
  // The application DLL's path, now below the new name.
  wchar_t moved_path[FIRST_ENTRY_PATH_CAPACITY];
  TextCursor moved = text_start(moved_path, FIRST_ENTRY_PATH_CAPACITY);
  text_append(&moved, directory);
  text_append(&moved, first_entry_path + wcslen(extraction_dir));
  copy_wide(first_entry_path, FIRST_ENTRY_PATH_CAPACITY, moved_path);
  copy_wide(extraction_dir, PATH_CAPACITY, directory);
}

namespace {

struct NameSearch {
  const wchar_t* name;
  bool found;
};

bool compare_entry_name(void* context, const char16_t* name, size_t length) {
  auto* search = static_cast<NameSearch*>(context);
  size_t at = 0;
  for (; at < length && search->name[at] != L'\0'; ++at) {
    wchar_t unit = name[at] == u'/' ? L'\\' : static_cast<wchar_t>(name[at]);
    if (CompareStringOrdinal(&unit, 1, &search->name[at], 1, TRUE) != CSTR_EQUAL) return true;
  }
  search->found = at == length && search->name[at] == L'\0';
  return !search->found;
}

void skip_contents(void*, uint64_t) {}
void drop_contents(void*, const uint8_t*, size_t) {}
void end_skipped(void*) {}

}  // namespace

bool payload_holds_name(const wchar_t* name) {
  if (!restart_payload_stream()) return false;
  NameSearch search = {name, false};
  const EntrySink sink = {compare_entry_name, skip_contents, drop_contents, end_skipped, &search};
  payload_walk_entries(&payload_stream, entry_name_units(), write_buffer, ENTRY_WRITE_CHUNK, &sink);
  return search.found;
}

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
      end_after_report(2);
    case ENTRY_WALK_CORRUPT:
      break;
  }
  fatal_error("Error, couldn't decode attached data.");
}
