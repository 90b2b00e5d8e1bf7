// The search of missing_dll.h. It looks where the launcher's load looks: the
// folder of the DLL being loaded (for the payload's DLLs the extraction
// directory, which the load also adds as a user directory) and System32.
// API set names (api-*, ext-*) are resolved by the loader, not found as files.
#include "launcher/missing_dll.h"

#include <windows.h>

#include "common/bounded_text.h"
#include "common/capacities.h"
#include "common/error_report.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "payload/pe_import_walk.h"
#include "payload/unpack_payload.h"

namespace {

wchar_t application_dir[PATH_CAPACITY];
wchar_t system_dir[PATH_CAPACITY];
// The DLLs met in the application's folder, the application first; their
// imports are read in this order. Names, not paths: all lie in one folder.
wchar_t payload_dlls[MISSING_DLL_SEARCH_CAPACITY][PE_IMPORT_NAME_CAPACITY];
size_t payload_dll_count;
wchar_t import_name[PE_IMPORT_NAME_CAPACITY + 4];  // with ".dll" appended when it has no extension
wchar_t candidate[PATH_CAPACITY];
wchar_t candidate_long[LONG_PATH_CAPACITY];

bool read_file(void* context, uint64_t offset, void* buffer, size_t size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  return ReadFile(static_cast<HANDLE>(context), buffer, static_cast<DWORD>(size), &got, &at) && got == size;
}

bool same_name(const wchar_t* a, const wchar_t* b) { return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL; }

bool starts_with_ignoring_case(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    char unit = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text + 32) : *text;
    if (unit != *prefix) return false;
  }
  return true;
}

// A file (not a folder) of that name in folder. A path that does not fit
// counts as there: this search must not name a DLL it could not look for.
bool file_in(const wchar_t* folder, const wchar_t* name) {
  TextCursor path = text_start(candidate, PATH_CAPACITY);
  if (!text_try_join_path(&path, folder, name)) return true;
  DWORD attributes = system_calls.GetFileAttributesW(long_path_form(candidate, candidate_long));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

struct Search {
  size_t importer;  // index into payload_dlls
  bool missing;     // import_name holds the DLL found nowhere
};

bool look_for_import(void* context, const char* name) {
  auto* search = static_cast<Search*>(context);
  if (starts_with_ignoring_case(name, "api-") || starts_with_ignoring_case(name, "ext-")) return true;
  // Import names are ANSI; DLL names outside ASCII are not met in practice.
  TextCursor wide = text_start(import_name, PE_IMPORT_NAME_CAPACITY + 4);
  bool extension = false;
  for (const char* unit = name; *unit != '\0'; ++unit) {
    text_append_unit(&wide, static_cast<wchar_t>(static_cast<unsigned char>(*unit)));
    extension = extension || *unit == '.';
  }
  if (!extension) text_append(&wide, L".dll");
  for (size_t i = 0; i < payload_dll_count; ++i) {
    if (same_name(payload_dlls[i], import_name)) return true;
  }
  if (file_in(application_dir, import_name)) {
    // Followed while there is room; past it, the search stops short rather than guess.
    if (payload_dll_count < MISSING_DLL_SEARCH_CAPACITY)
      copy_wide(payload_dlls[payload_dll_count++], PE_IMPORT_NAME_CAPACITY, import_name);
    return true;
  }
  if (file_in(system_dir, import_name)) return true;
  search->missing = true;
  return false;
}

// Whether the payload put a file of that name where the load looked, in the
// application's folder: then it was there once, and something removed it.
bool unpacked_before(const wchar_t* name) {
  size_t top = wcslen(extraction_dir);
  if (top == 0 || wcsncmp(application_dir, extraction_dir, top) != 0) return false;
  const wchar_t* below = application_dir + top;
  if (*below != L'\0' && *below != L'\\') return false;
  TextCursor entry = text_start(candidate, PATH_CAPACITY);
  bool fits = *below == L'\0' ? text_try_append(&entry, name) : text_try_join_path(&entry, below + 1, name);
  return fits && payload_holds_name(candidate);
}

}  // namespace

void report_missing_dll(const wchar_t* application_path) {
  copy_wide(application_dir, PATH_CAPACITY, application_path);
  wchar_t* last_separator = wcsrchr(application_dir, L'\\');
  if (last_separator == nullptr) return;
  TextCursor folder = text_resume(application_dir, PATH_CAPACITY);
  text_cut(&folder, static_cast<size_t>(last_separator - application_dir));
  TextCursor system = text_start(system_dir, PATH_CAPACITY);
  UINT length = GetSystemDirectoryW(system.text, static_cast<UINT>(text_room(&system)));
  if (length == 0 || length >= text_room(&system)) return;
  text_extend(&system, length);
  copy_wide(payload_dlls[0], PE_IMPORT_NAME_CAPACITY, last_separator + 1);
  payload_dll_count = 1;

  Search search = {0, false};
  for (; search.importer < payload_dll_count; ++search.importer) {
    const wchar_t* path = application_path;
    if (search.importer != 0) {
      TextCursor payload_path = text_start(candidate, PATH_CAPACITY);
      if (!text_try_join_path(&payload_path, application_dir, payload_dlls[search.importer])) continue;
      path = candidate;
    }
    HANDLE file = system_calls.CreateFileW(long_path_form(path, candidate_long), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    PeFile image = {read_file, file};
    walk_pe_imports(&image, look_for_import, &search);
    CloseHandle(file);
    if (search.missing) {
      if (unpacked_before(import_name)) {
        print_error_cause(
            "Error, '%ls' imports '%ls', which was unpacked and has been removed since (an antivirus or a cleaner of "
            "temporary files may have taken it).\n",
            payload_dlls[search.importer], import_name);
      } else {
        print_error_cause(
            "Error, '%ls' imports '%ls', which is neither among the unpacked files nor in the system "
            "directory.\n",
            payload_dlls[search.importer], import_name);
      }
      return;
    }
  }
}
