// Directory spec expansion; see path_spec.h.
// Both launcher instances must reach the same directory, so {PID} and {TIME}
// come from the environment that the extracting instance hands down.
#include "paths/path_spec.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <shlobj.h>

#include "common/system_calls.h"
#include "paths/env_access.h"
#include "paths/product_info.h"


const wchar_t EXTRACTION_DIR_SPEC[] = L"{TEMP}\\onefile_{PID}_{TIME}";

namespace {

constexpr size_t NAME_CAPACITY = 1024;
constexpr size_t PROCESS_ID_TEXT_CAPACITY = 128;
constexpr size_t TIME_TEXT_CAPACITY = 1024;

const wchar_t PRODUCT_NAME[] = VORBEL_PRODUCT_NAME_TEXT;
const wchar_t PRODUCT_VERSION[] = VORBEL_PRODUCT_VERSION_TEXT;

// The output being built: its start, where its NUL stands, and how many units
// remain for text and the NUL after it.
struct SpecOutput {
  wchar_t* start;
  wchar_t* end;
  size_t remaining;
};

// Appends one unit of a value; a value that does not fit is a stop.
void append_value_unit(SpecOutput& out, wchar_t unit) {
  if (out.remaining <= 1) abort();
  *out.end++ = unit;
  *out.end = L'\0';
  --out.remaining;
}

void append_value(SpecOutput& out, const wchar_t* value) {
  for (const wchar_t* unit = value; *unit != L'\0'; ++unit) append_value_unit(out, *unit);
}

// Removes backslashes from the end of the output (not only from the value).
void trim_trailing_backslashes(SpecOutput& out) {
  while (out.end > out.start && out.end[-1] == L'\\') {
    *--out.end = L'\0';
    ++out.remaining;
  }
}

void append_temp(SpecOutput& out) {
  // GetTempPathW writes nothing when the path does not fit; a result beyond
  // the room left is taken as an empty value all the same.
  DWORD length = system_calls.GetTempPathW(static_cast<DWORD>(out.remaining), out.end);
  if (length == 0 || length >= out.remaining) {
    *out.end = L'\0';
  } else {
    out.end += length;
    out.remaining -= length;
  }
  trim_trailing_backslashes(out);
}

bool append_shell_folder(SpecOutput& out, int folder) {
  wchar_t path[MAX_PATH];
  path[0] = L'\0';
  if (system_calls.SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return false;
  path[MAX_PATH - 1] = L'\0';
  append_value(out, path);
  trim_trailing_backslashes(out);
  return true;
}

const wchar_t* program_argument() {
  if (__wargv == nullptr || __argc < 1 || __wargv[0] == nullptr) abort();
  return __wargv[0];
}

// {PROGRAM} expanded on its own into the rest of the output, so that the
// variants can cut what it appended.
bool append_nested_program(SpecOutput& out, wchar_t** appended) {
  *appended = out.end;
  if (!expand_path_spec(out.end, L"{PROGRAM}", out.remaining)) return false;
  size_t length = wcslen(out.end);
  out.end += length;
  out.remaining -= length;
  return true;
}

void cut_at(SpecOutput& out, wchar_t* position) {
  out.remaining += static_cast<size_t>(out.end - position);
  out.end = position;
  *out.end = L'\0';
}

void append_pid(SpecOutput& out) {
  wchar_t* parent = get_env_copy_narrow("VORBEL_ONEFILE_PARENT");
  if (parent == nullptr) {
    wchar_t own_id[PROCESS_ID_TEXT_CAPACITY];
    format_own_process_id(own_id, PROCESS_ID_TEXT_CAPACITY);
    append_value(out, own_id);
    return;
  }
  for (const wchar_t* unit = parent; *unit != L'\0'; ++unit) {
    if (!iswctype(*unit, _DIGIT)) abort();
  }
  append_value(out, parent);
  free(parent);
}

// An inherited time stamp becomes part of the directory that the run makes
// and deletes at its end, so only a FILETIME count is taken: 1 to 20 decimal
// digits of a value below 2^64. Anything else ("x\..\..\victim") could
// steer that directory onto the user's own files.
bool is_time_stamp(const wchar_t* text) {
  constexpr size_t MAX_DIGITS = 20;  // 18446744073709551615
  unsigned long long value = 0;
  size_t digits = 0;
  for (const wchar_t* unit = text; *unit != L'\0'; ++unit, ++digits) {
    if (*unit < L'0' || *unit > L'9' || digits == MAX_DIGITS) return false;
    unsigned digit = static_cast<unsigned>(*unit - L'0');
    if (value > (~0ull - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return digits > 0;
}

void append_time(SpecOutput& out) {
  wchar_t* start = get_env_copy_narrow("VORBEL_ONEFILE_START");
  if (start != nullptr && is_time_stamp(start)) {
    append_value(out, start);
    free(start);
    return;
  }
  free(start);  // not a time stamp: as if it were unset
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  long long stamp = static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                                           now.dwLowDateTime);
  wchar_t text[TIME_TEXT_CAPACITY];
  _snwprintf(text, TIME_TEXT_CAPACITY, L"%lld", stamp);
  text[TIME_TEXT_CAPACITY - 1] = L'\0';
  // Every later {TIME} of this process and of the processes it starts reads
  // this value back, so both launcher instances agree on the directory.
  set_env_narrow("VORBEL_ONEFILE_START", text);
  append_value(out, text);
}

// Appends the value of the named variable; false for an unknown name or a
// value that cannot be had.
bool append_variable(SpecOutput& out, const wchar_t* name) {
  wchar_t* appended = nullptr;
  if (_wcsicmp(name, L"TEMP") == 0) {
    append_temp(out);
  } else if (_wcsicmp(name, L"PROGRAM") == 0) {
    append_value(out, program_argument());
  } else if (_wcsicmp(name, L"PROGRAM_BASE") == 0) {
    if (!append_nested_program(out, &appended)) return false;
    size_t length = static_cast<size_t>(out.end - appended);
    if (length >= 4 && _wcsicmp(out.end - 4, L".exe") == 0) cut_at(out, out.end - 4);
  } else if (_wcsicmp(name, L"PROGRAM_DIR") == 0) {
    if (!append_nested_program(out, &appended)) return false;
    wchar_t* last_backslash = wcsrchr(appended, L'\\');
    if (last_backslash != nullptr) cut_at(out, last_backslash);
  } else if (_wcsicmp(name, L"PID") == 0) {
    append_pid(out);
  } else if (_wcsicmp(name, L"HOME") == 0) {
    return append_shell_folder(out, CSIDL_PROFILE);
  } else if (_wcsicmp(name, L"CACHE_DIR") == 0) {
    return append_shell_folder(out, CSIDL_LOCAL_APPDATA);
  } else if (_wcsicmp(name, L"PRODUCT") == 0) {
    append_value(out, PRODUCT_NAME);
  } else if (_wcsicmp(name, L"VERSION") == 0) {
    append_value(out, PRODUCT_VERSION);
  } else if (_wcsicmp(name, L"TIME") == 0) {
    append_time(out);
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool expand_path_spec(wchar_t* output, const wchar_t* spec, size_t capacity) {
  if (capacity == 0) abort();
  output[0] = L'\0';
  SpecOutput out = {output, output, capacity};

  bool in_reference = false;
  wchar_t name[NAME_CAPACITY];
  size_t name_length = 0;
  for (const wchar_t* unit = spec; *unit != L'\0'; ++unit) {
    if (*unit == L'{') {
      in_reference = true;  // a second "{" starts the name afresh
      name_length = 0;
    } else if (in_reference && *unit == L'}') {
      name[name_length] = L'\0';
      if (!append_variable(out, name)) return false;
      in_reference = false;
    } else if (in_reference) {
      // No variable name comes near the limit: a longer name can match
      // nothing, so the expansion fails at once instead of collecting it.
      if (name_length + 1 >= NAME_CAPACITY) return false;
      name[name_length++] = *unit;
    } else {
      // A "}" outside a reference is an ordinary literal.
      if (out.remaining <= 1) return false;
      *out.end++ = *unit;
      *out.end = L'\0';
      --out.remaining;
    }
  }
  return true;
}
