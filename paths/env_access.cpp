// Environment access for the launcher's variables; see env_access.h.
// The 32768-unit read buffer holds the longest value the system allows.
#include "paths/env_access.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"

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
  char digits[PROCESS_ID_TEXT_CAPACITY];
  snprintf(digits, sizeof digits, "%lu", id);
  TextCursor wide = text_start(text, capacity);
  for (const char* c = digits; *c != '\0'; ++c) text_append_unit(&wide, widen_char(*c));
}

void set_env_narrow(const char* name, const wchar_t* value) {
  wchar_t wide_name[VARIABLE_NAME_CAPACITY];
  widen_name(name, wide_name);
  SetEnvironmentVariableW(wide_name, value);
}
