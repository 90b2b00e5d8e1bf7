// The bundle directory's record, check and move; see bundle_directory.h.
// The record is streamed through one static buffer while the entries are
// written, so its size is bounded by nothing but the payload's; the check
// reads it whole into one allocation, as large as the file.
#include "payload/bundle_directory.h"

#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/directory_check.h"
#include "common/error_report.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "payload/bundle_record.h"
#include "payload/entry_name_rule.h"
#include "payload/unpack_payload.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace {

// A record larger than this is no record of ours: 3,233 files of a large
// application make about 200 KB.
constexpr uint64_t BUNDLE_RECORD_MAX_SIZE = 256ull << 20;
constexpr size_t RECORD_BUFFER_SIZE = 64 * 1024;
static_assert(RECORD_BUFFER_SIZE >= BUNDLE_RECORD_HEADER_SIZE + BUNDLE_RECORD_ENTRY_HEAD_SIZE +
                                        2 * BUNDLE_RECORD_NAME_MAX_UNITS + BUNDLE_RECORD_TRAILER_SIZE,
              "a header, an entry and the trailer always fit");

uint8_t record_buffer[RECORD_BUFFER_SIZE];
size_t record_buffered;
BundleRecordCheck record_check;
HANDLE record_file = INVALID_HANDLE_VALUE;
wchar_t record_path[PATH_CAPACITY];

void flush_record() {
  // A record cut short would make every later start take the bundle for damaged.
  write_whole(record_file, record_buffer, record_buffered);
  record_buffered = 0;
}

void make_room(size_t bytes) {
  if (RECORD_BUFFER_SIZE - record_buffered < bytes) flush_record();
}

wchar_t record_bundle_id[LAUNCH_BUNDLE_ID_UNITS + 1];

void join_record_path(const wchar_t* directory) {
  TextCursor path = text_start(record_path, PATH_CAPACITY);
  text_append(&path, directory);
  text_append_unit(&path, L'\\');
  text_append(&path, reinterpret_cast<const wchar_t*>(BUNDLE_RECORD_NAME));
}

// Made with the first entry, once the directory exists (and holds its lock).
void open_record() {
  join_record_path(extraction_dir);
  wchar_t long_form[LONG_PATH_CAPACITY];
  // No sharing: an entry of the same name fails to open instead of
  // overwriting the record (the build tool refuses such a payload anyway).
  record_file = system_calls.CreateFileW(long_path_form(record_path, long_form), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (record_file == INVALID_HANDLE_VALUE) {
    print_error("Error, failed to open '%ls' for writing.\n", record_path);
    end_after_report(2);
  }
  bundle_record_header(reinterpret_cast<const char16_t*>(record_bundle_id), record_buffer, &record_check);
  record_buffered = BUNDLE_RECORD_HEADER_SIZE;
}

// Called for every entry as its file is begun; name is below the directory.
void add_entry(const wchar_t* name, uint64_t size) {
  if (record_file == INVALID_HANDLE_VALUE) open_record();
  size_t length = wcslen(name);
  // The unpacking refuses longer names before this point.
  if (length == 0 || length > BUNDLE_RECORD_NAME_MAX_UNITS) abort();
  make_room(BUNDLE_RECORD_ENTRY_HEAD_SIZE + 2 * length);
  record_buffered += bundle_record_entry(reinterpret_cast<const char16_t*>(name), length, size,
                                         record_buffer + record_buffered, &record_check);
}

// The check of a later start: each entry of the record against the disk.
struct WholeCheck {
  const wchar_t* bundle;
  bool first;
};

wchar_t checked_path[PATH_CAPACITY];

bool check_entry(void* context, const char16_t* name, size_t, uint64_t size) {
  WholeCheck* check = static_cast<WholeCheck*>(context);
  // The record lies in the user's own directory, but what it names is loaded
  // and run: nothing outside the directory, whatever the bytes say.
  if (!entry_name_stays_inside(name)) return false;
  TextCursor path = text_start(checked_path, PATH_CAPACITY);
  if (!text_try_join_path(&path, check->bundle, reinterpret_cast<const wchar_t*>(name))) return false;
  wchar_t long_form[LONG_PATH_CAPACITY];
  WIN32_FILE_ATTRIBUTE_DATA found;
  if (!system_calls.GetFileAttributesExW(long_path_form(checked_path, long_form), GetFileExInfoStandard, &found))
    return false;
  if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;
  uint64_t found_size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  if (found_size != size) return false;
  if (check->first) copy_wide(first_entry_path, FIRST_ENTRY_PATH_CAPACITY, checked_path);
  check->first = false;
  return true;
}

// The record's bytes, in an allocation the caller frees; null when it cannot
// be read whole.
uint8_t* read_record(const wchar_t* path, size_t* size) {
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE file = system_calls.CreateFileW(long_path_form(path, long_form), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER length;
  uint8_t* bytes = nullptr;
  if (GetFileSizeEx(file, &length) && length.QuadPart > 0 &&
      static_cast<uint64_t>(length.QuadPart) <= BUNDLE_RECORD_MAX_SIZE) {
    *size = static_cast<size_t>(length.QuadPart);
    bytes = static_cast<uint8_t*>(system_calls.malloc(*size));
  }
  size_t done = 0;
  while (bytes != nullptr && done < *size) {
    DWORD read = 0;
    if (!ReadFile(file, bytes + done, static_cast<DWORD>(*size - done), &read, nullptr) || read == 0) {
      free(bytes);
      bytes = nullptr;
    }
    done += read;
  }
  system_calls.CloseHandle(file);
  return bytes;
}

}  // namespace

OwnDirectory check_own_directory(const wchar_t* path) {
  HANDLE directory = INVALID_HANDLE_VALUE;
  switch (open_directory_itself(path, READ_CONTROL | FILE_READ_ATTRIBUTES, &directory)) {
    case DIRECTORY_IS_LINK:
      return FOREIGN_DIRECTORY;
    case DIRECTORY_UNUSABLE: {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return NO_DIRECTORY;
      // A file, or something this user may not open: not a directory of ours.
      return error == ERROR_DIRECTORY || error == ERROR_ACCESS_DENIED ? FOREIGN_DIRECTORY : UNREADABLE_DIRECTORY;
    }
    case DIRECTORY_OPENED:
      break;
  }
  PSID user = current_user_sid();
  unsigned long error = 0;
  DirectoryOwner owner = user == nullptr ? DIRECTORY_OWNER_UNREADABLE : directory_owner(directory, user, &error);
  system_calls.CloseHandle(directory);
  switch (owner) {
    case DIRECTORY_OWNED_BY_USER:
      return OWN_DIRECTORY;
    case DIRECTORY_OWNED_BY_OTHER:
      return FOREIGN_DIRECTORY;
    case DIRECTORY_OWNER_UNREADABLE:
      break;
  }
  return UNREADABLE_DIRECTORY;
}

void begin_bundle_record(const wchar_t* bundle_id) {
  copy_wide(record_bundle_id, LAUNCH_BUNDLE_ID_UNITS + 1, bundle_id);
  unpacked_entry_hook = add_entry;
}

void finish_bundle_record() {
  unpacked_entry_hook = nullptr;
  if (record_file == INVALID_HANDLE_VALUE) abort();  // the caller stops a payload without entries first
  make_room(BUNDLE_RECORD_TRAILER_SIZE);
  bundle_record_trailer(&record_check, record_buffer + record_buffered);
  record_buffered += BUNDLE_RECORD_TRAILER_SIZE;
  flush_record();
  // To the disk before the rename, as every file of the bundle is: after a
  // power cut NTFS may keep a file's size and lose its data, which the
  // check of names and sizes cannot see.
  system_calls.FlushFileBuffers(record_file);
  system_calls.CloseHandle(record_file);
  record_file = INVALID_HANDLE_VALUE;
}

namespace {

// Hands every entry of bundle's record to sink; BUNDLE_RECORD_DAMAGED too
// when the record cannot be read whole.
BundleRecordStatus read_record_of(const wchar_t* bundle, const wchar_t* bundle_id, const BundleRecordSink* sink) {
  join_record_path(bundle);
  size_t size = 0;
  uint8_t* record = read_record(record_path, &size);
  if (record == nullptr) return BUNDLE_RECORD_DAMAGED;
  static char16_t name[BUNDLE_RECORD_NAME_MAX_UNITS + 1];
  BundleRecordStatus status =
      read_bundle_record(record, size, reinterpret_cast<const char16_t*>(bundle_id), name, sink);
  free(record);
  return status;
}

}  // namespace

bool bundle_is_whole(const wchar_t* bundle, const wchar_t* bundle_id) {
  WholeCheck check = {bundle, true};
  const BundleRecordSink sink = {&check, check_entry};
  return read_record_of(bundle, bundle_id, &sink) == BUNDLE_RECORD_WHOLE;
}

namespace {

// The first bytes of an image: "MZ", and "PE\0\0" where e_lfanew points when
// that lies within them.
constexpr DWORD IMAGE_HEAD_BYTES = 4096;
uint8_t image_head[IMAGE_HEAD_BYTES];

bool is_image(const wchar_t* path) {
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE file = system_calls.CreateFileW(long_path_form(path, long_form), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  }
  DWORD read = 0;
  BOOL done = ReadFile(file, image_head, IMAGE_HEAD_BYTES, &read, nullptr);
  system_calls.CloseHandle(file);
  if (!done) return true;  // unreadable now is no proof of damage
  if (read < 0x40 || image_head[0] != 'M' || image_head[1] != 'Z') return false;
  uint32_t pe_at = static_cast<uint32_t>(image_head[0x3C]) | static_cast<uint32_t>(image_head[0x3D]) << 8 |
                   static_cast<uint32_t>(image_head[0x3E]) << 16 | static_cast<uint32_t>(image_head[0x3F]) << 24;
  if (pe_at > read - 4) return true;
  return image_head[pe_at] == 'P' && image_head[pe_at + 1] == 'E' && image_head[pe_at + 2] == 0 &&
         image_head[pe_at + 3] == 0;
}

bool names_image(const char16_t* name, size_t length) {
  if (length < 4 || name[length - 4] != u'.') return false;
  char16_t extension[3];
  for (size_t i = 0; i < 3; ++i) {
    char16_t unit = name[length - 3 + i];
    extension[i] = unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
  }
  return (extension[0] == u'd' && extension[1] == u'l' && extension[2] == u'l') ||
         (extension[0] == u'e' && extension[1] == u'x' && extension[2] == u'e');
}

struct FaultCheck {
  const wchar_t* bundle;
  bool first;
  bool found;
};

// Stops at the first file at fault.
bool look_for_fault(void* context, const char16_t* name, size_t length, uint64_t) {
  FaultCheck* check = static_cast<FaultCheck*>(context);
  bool first = check->first;
  check->first = false;
  if (!entry_name_stays_inside(name)) return true;
  TextCursor path = text_start(checked_path, PATH_CAPACITY);
  if (!text_try_join_path(&path, check->bundle, reinterpret_cast<const wchar_t*>(name))) return true;
  if (first || names_image(name, length)) {
    check->found = !is_image(checked_path);
  } else {
    wchar_t long_form[LONG_PATH_CAPACITY];
    check->found = system_calls.GetFileAttributesW(long_path_form(checked_path, long_form)) == INVALID_FILE_ATTRIBUTES;
  }
  return !check->found;
}

}  // namespace

bool mark_bundle_damaged_if_at_fault(const wchar_t* bundle, const wchar_t* bundle_id) {
  FaultCheck check = {bundle, true, false};
  const BundleRecordSink sink = {&check, look_for_fault};
  read_record_of(bundle, bundle_id, &sink);
  if (!check.found) return false;
  join_record_path(bundle);
  wchar_t long_form[LONG_PATH_CAPACITY];
  // Another start may be reading the record this moment (shared for reading only).
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (system_calls.DeleteFileW(long_path_form(record_path, long_form))) return true;
    Sleep(10);
  }
  return false;
}

bool move_bundle_into_place(const wchar_t* working, const wchar_t* bundle) {
  wchar_t working_long[LONG_PATH_CAPACITY];
  wchar_t bundle_long[LONG_PATH_CAPACITY];
  return system_calls.MoveFileExW(long_path_form(working, working_long), long_path_form(bundle, bundle_long), 0) !=
         FALSE;
}
