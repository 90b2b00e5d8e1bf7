// Environment access for the launcher's variables; see env_access.h.
// The 32768-unit read buffer holds the longest value the system allows.
// A change for an application in this process goes to msvcrt's copies as
// well as the process environment: an application DLL built with mingw-w64
// shares this process's msvcrt. One for a child needs the environment alone.
#include "paths/env_access.h"

#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/decimal_text.h"

wchar_t* get_env_copy(const wchar_t* name) {
  wchar_t value[ENV_VALUE_CAPACITY];  // 64 KiB of the main thread's stack
  DWORD length = GetEnvironmentVariableW(name, value, ENV_VALUE_CAPACITY);
  if (length == 0 || length >= ENV_VALUE_CAPACITY) return nullptr;
  return _wcsdup(value);
}

wchar_t* get_env_copy_narrow(const char* name) {
  wchar_t wide_name[VARIABLE_NAME_CAPACITY];
  widen_name(name, wide_name);
  return get_env_copy(wide_name);
}

wchar_t widen_char(char c) {
  const char one[2] = {c, '\0'};
  wchar_t unit[2] = {};
  if (mbstowcs(unit, one, 2) != 1) abort();
  return unit[0];
}

void widen_name(const char* name, wchar_t* wide_name) {
  TextCursor wide = text_start(wide_name, VARIABLE_NAME_CAPACITY);
  for (const char* c = name; *c != '\0'; ++c) text_append_unit(&wide, widen_char(*c));
}

void format_own_process_id(wchar_t* text, size_t capacity) {
  format_process_id(GetCurrentProcessId(), text, capacity);
}

void format_process_id(unsigned long id, wchar_t* text, size_t capacity) {
  TextCursor digits = text_start(text, capacity);
  if (!text_try_append_decimal(&digits, id)) abort();
}

namespace {

// "NAME=value" for _wputenv: the longest name, "=" and the longest value.
wchar_t runtime_assignment[VARIABLE_NAME_CAPACITY + ENV_VALUE_CAPACITY];

}  // namespace

void set_child_env_narrow(const char* name, const wchar_t* value) {
  wchar_t wide_name[VARIABLE_NAME_CAPACITY];
  widen_name(name, wide_name);
  SetEnvironmentVariableW(wide_name, value);
}

void set_env_narrow(const char* name, const wchar_t* value) {
  wchar_t wide_name[VARIABLE_NAME_CAPACITY];
  widen_name(name, wide_name);
  SetEnvironmentVariableW(wide_name, value);
  // msvcrt took its copies of the environment (_wenviron for _wgetenv, and
  // environ for getenv) when the process started, and never looks at the
  // process environment again; _wputenv changes both. "NAME=" removes; a
  // name its copies lack has nothing to remove there.
  if (value == nullptr && _wgetenv(wide_name) == nullptr) return;
  TextCursor assignment = text_start(runtime_assignment, VARIABLE_NAME_CAPACITY + ENV_VALUE_CAPACITY);
  text_append(&assignment, wide_name);
  text_append_unit(&assignment, L'=');
  if (value != nullptr) text_append(&assignment, value);
  _wputenv(runtime_assignment);
}
