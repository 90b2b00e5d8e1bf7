// Directory spec expansion; see path_spec.h.
// Both launcher instances must reach the same directory, so {PID} and {TIME}
// come from the environment that the extracting instance hands down.
#include "paths/path_spec.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
// shlobj.h needs windows.h first.
#include <shlobj.h>

#include "common/bounded_text.h"
#include "common/capacities.h"
#include "common/decimal_text.h"
#include "common/launcher_names.h"
#include "common/long_path.h"
#include "common/system_calls.h"
#include "paths/env_access.h"
#include "paths/product_info.h"

unsigned long spec_process_id;

namespace {

const wchar_t PRODUCT_NAME[] = VORBEL_PRODUCT_NAME_TEXT;
const wchar_t PRODUCT_VERSION[] = VORBEL_PRODUCT_VERSION_TEXT;

// A value that does not fit is a stop, unlike a literal. Unit by unit, so
// that what stands in the output at the stop is what fitted of it.
void append_value(TextCursor* out, const wchar_t* value) {
  for (const wchar_t* unit = value; *unit != L'\0'; ++unit) text_append_unit(out, *unit);
}

// Removes backslashes from the end of the output (not only from the value).
void trim_trailing_backslashes(TextCursor* out) { text_trim_end(out, L'\\'); }

void append_temp(TextCursor* out) {
  // GetTempPathW writes nothing when the path does not fit; a result beyond
  // the room left is taken as an empty value all the same.
  size_t start = out->length;
  size_t room = text_room(out);
  DWORD length = system_calls.GetTempPathW(static_cast<DWORD>(room), out->text + start);
  if (length == 0 || length >= room) {
    text_cut(out, start);
  } else {
    // Full while it is short, so that every path built below it is full too
    // and reaches the file calls in the "\\?\" form built directly.
    full_root_form(out->text + start, room);
    text_extend(out, wcslen(out->text + start));
  }
  trim_trailing_backslashes(out);
}

bool append_shell_folder(TextCursor* out, int folder) {
  wchar_t path[MAX_PATH];
  TextCursor value = text_start(path, MAX_PATH);
  if (system_calls.SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, value.text) != S_OK) return false;
  // The call fills at most MAX_PATH units, its NUL among them.
  value = text_resume(path, MAX_PATH);
  append_value(out, value.text);
  trim_trailing_backslashes(out);
  return true;
}

// The local application-data folder as the system sets LOCALAPPDATA for
// every logon: read without loading the shell, which a start must not pay
// for. Taken only when it is an absolute path (a drive's or a server's)
// to an existing directory; anything else (unset, relative, stale) leaves
// the question to the shell.
bool append_local_app_data(TextCursor* out) {
  wchar_t* value = get_env_copy_narrow("LOCALAPPDATA");
  if (value == nullptr) return false;
  AbsolutePath kind = absolute_path_kind(value);
  bool absolute = kind == DRIVE_PATH || kind == NETWORK_PATH;
  DWORD attributes = absolute ? system_calls.GetFileAttributesW(value) : INVALID_FILE_ATTRIBUTES;
  bool usable = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (usable) {
    append_value(out, value);
    trim_trailing_backslashes(out);
  }
  free(value);
  return usable;
}

const wchar_t* program_argument(const wchar_t* program) {
  if (program != nullptr) return program;
  if (__wargv == nullptr || __argc < 1 || __wargv[0] == nullptr) abort();
  return __wargv[0];
}

// {PROGRAM} expanded on its own into the rest of the output, so that the
// variants can cut what it appended; *appended is where it began.
bool append_nested_program(TextCursor* out, size_t* appended, const wchar_t* program) {
  *appended = out->length;
  wchar_t* end = out->text + out->length;
  if (!expand_path_spec(end, L"{PROGRAM}", text_room(out), program)) return false;
  text_extend(out, wcslen(end));
  return true;
}

void append_pid(TextCursor* out) {
  wchar_t id[PROCESS_ID_TEXT_CAPACITY];
  if (spec_process_id != 0) {
    format_process_id(spec_process_id, id, PROCESS_ID_TEXT_CAPACITY);
  } else {
    format_own_process_id(id, PROCESS_ID_TEXT_CAPACITY);
  }
  append_value(out, id);
}

// An inherited time stamp becomes part of the directory that the run makes
// and deletes at its end, so only a FILETIME count is taken: 1 to 20 decimal
// digits of a value below 2^64. Anything else ("x\..\..\victim") could
// steer that directory onto the user's own files.
bool is_time_stamp(const wchar_t* text) {
  constexpr size_t MAX_DIGITS = 20;  // 18446744073709551615
  size_t length = 0;
  while (length <= MAX_DIGITS && text[length] != L'\0') ++length;
  uint64_t value = 0;
  return length <= MAX_DIGITS && is_decimal(text, UINT64_MAX, &value);
}

void append_time(TextCursor* out) {
  wchar_t* start = get_env_copy_narrow("VORBEL_ONEFILE_START");
  if (start != nullptr && is_time_stamp(start)) {
    append_value(out, start);
    free(start);
    return;
  }
  free(start);  // not a time stamp: as if it were unset
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  long long stamp = static_cast<long long>(filetime_ticks(now.dwHighDateTime, now.dwLowDateTime));
  wchar_t text[TIME_TEXT_CAPACITY];
  TextCursor time_text = text_start(text, TIME_TEXT_CAPACITY);
  int written = _snwprintf(time_text.text, text_room(&time_text), L"%lld", stamp);
  if (written < 0) abort();
  text_extend(&time_text, static_cast<size_t>(written));
  // Every later {TIME} of this process and of the processes it starts reads
  // this value back, so both launcher instances agree on the directory.
  set_env_narrow("VORBEL_ONEFILE_START", text);
  append_value(out, text);
}

// Appends the value of the named variable; false for an unknown name or a
// value that cannot be had.
bool append_variable(TextCursor* out, const wchar_t* name, size_t length, const wchar_t* program) {
  const SpecReference* reference = find_spec_reference(name, length);
  if (reference == nullptr) return false;
  size_t appended = 0;
  switch (reference->id) {
    case SPEC_TEMP:
      append_temp(out);
      break;
    case SPEC_PROGRAM:
      append_value(out, program_argument(program));
      break;
    case SPEC_PROGRAM_BASE:
      if (!append_nested_program(out, &appended, program)) return false;
      if (out->length - appended >= 4 && _wcsicmp(out->text + out->length - 4, L".exe") == 0) {
        text_cut(out, out->length - 4);
      }
      break;
    case SPEC_PROGRAM_DIR: {
      if (!append_nested_program(out, &appended, program)) return false;
      const wchar_t* last_backslash = wcsrchr(out->text + appended, L'\\');
      if (last_backslash != nullptr) text_cut(out, static_cast<size_t>(last_backslash - out->text));
      break;
    }
    case SPEC_PID:
      append_pid(out);
      break;
    case SPEC_HOME:
      return append_shell_folder(out, CSIDL_PROFILE);
    case SPEC_CACHE_DIR:
      if (append_local_app_data(out)) return true;
      return append_shell_folder(out, CSIDL_LOCAL_APPDATA);
    case SPEC_PRODUCT:
      append_value(out, PRODUCT_NAME);
      break;
    case SPEC_VERSION:
      append_value(out, PRODUCT_VERSION);
      break;
    case SPEC_TIME:
      append_time(out);
      break;
  }
  return true;
}

}  // namespace

bool expand_path_spec(wchar_t* output, const wchar_t* spec, size_t capacity, const wchar_t* program) {
  TextCursor out = text_start(output, capacity);

  bool in_reference = false;
  wchar_t name[SPEC_NAME_CAPACITY];
  TextCursor name_text = text_start(name, SPEC_NAME_CAPACITY);
  for (const wchar_t* unit = spec; *unit != L'\0'; ++unit) {
    if (*unit == L'{') {
      in_reference = true;  // a second "{" starts the name afresh
      text_cut(&name_text, 0);
    } else if (in_reference && *unit == L'}') {
      if (!append_variable(&out, name_text.text, name_text.length, program)) return false;
      in_reference = false;
    } else if (in_reference) {
      // No variable name comes near the limit: a longer name can match
      // nothing, so the expansion fails at once instead of collecting it.
      if (!text_try_append_unit(&name_text, *unit)) return false;
    } else {
      // A "}" outside a reference is an ordinary literal; one that does not
      // fit makes the expansion fail, not stop.
      if (!text_try_append_unit(&out, *unit)) return false;
    }
  }
  return true;
}
