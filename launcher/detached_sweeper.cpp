// The detached sweeper; see detached_sweeper.h. The start hands it two
// facts and no path: its own process id, to wait for, and the name of the
// bundle it ran from, to keep. Everything else the sweeper finds itself,
// below the root its own settings record names.
#include "launcher/detached_sweeper.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "common/bounded_text.h"
#include "common/decimal_text.h"
#include "common/launcher_names.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "launcher/cached_run.h"
#include "launcher/child_launch.h"
#include "launcher/run_settings.h"
#include "paths/env_access.h"
#include "payload/bundle_directory.h"
#include "shutdown/leftover_sweep.h"
#include "shutdown/locked_removal.h"

namespace {

// "<id>:<name>": a process id's digits, a bundle folder name, one
// terminator.
constexpr size_t SWEEPER_VALUE_CAPACITY = PROCESS_ID_TEXT_CAPACITY + BUNDLE_ID_UNITS + 8;

wchar_t sweeper_command_line[PATH_CAPACITY + 3];
SweepForm sweeper_form;

bool launcher_variable(const wchar_t* entry) {
  return _wcsnicmp(entry, L"VORBEL_ONEFILE_", 15) == 0 || _wcsnicmp(entry, L"VORBEL_ORIGINAL_ARGV0=", 22) == 0;
}

// This process's environment without the launcher's variables (the sweeper
// needs none of them, and the application's would mislead it), with the
// sweeper's own at the end: a block on the heap, freed by the caller; null
// when it cannot be had.
wchar_t* sweeper_environment(const wchar_t* value) {
  wchar_t* current = GetEnvironmentStringsW();
  if (current == nullptr) return nullptr;
  size_t kept = 0;
  for (const wchar_t* entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
    if (!launcher_variable(entry)) kept += wcslen(entry) + 1;
  }
  const size_t name_length = strlen(SWEEPER_VARIABLE);
  const size_t own = name_length + 1 + wcslen(value) + 1;
  wchar_t* block = static_cast<wchar_t*>(system_calls.malloc((kept + own + 1) * sizeof(wchar_t)));
  if (block != nullptr) {
    wchar_t* at = block;
    for (const wchar_t* entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
      size_t length = wcslen(entry) + 1;
      if (launcher_variable(entry)) continue;
      wmemcpy(at, entry, length);
      at += length;
    }
    for (size_t unit = 0; unit < name_length; ++unit) *at++ = static_cast<wchar_t>(SWEEPER_VARIABLE[unit]);
    *at++ = L'=';
    size_t value_length = wcslen(value) + 1;
    wmemcpy(at, value, value_length);
    at += value_length;
    *at = L'\0';
  }
  FreeEnvironmentStringsW(current);
  return block;
}

// Whether value has the sweeper's form, "<id>:<name>" with name shaped as a
// bundle folder's; *start_id and *name (pointing into value) then hold them.
bool read_sweeper_value(const wchar_t* value, uint64_t* start_id, const wchar_t** name) {
  const wchar_t* unit = value;
  if (!take_decimal(&unit, 0xFFFFFFFFu, start_id) || *unit != L':' || !is_bundle_folder_name(unit + 1)) return false;
  *name = unit + 1;
  return true;
}

// Whether name is one a start of bundle_id gives its bundle: the id, or the
// id with ".2" to ".8".
bool is_own_bundle_name(const wchar_t* name, const wchar_t* bundle_id) {
  if (wcsncmp(name, bundle_id, BUNDLE_ID_UNITS) != 0) return false;
  const wchar_t* number = name + BUNDLE_ID_UNITS;
  if (*number == L'\0') return true;
  ++number;
  uint64_t n = 0;
  return take_decimal(&number, BUNDLE_FOLDER_NAMES, &n) && n >= 2 && *number == L'\0';
}

void wait_for_start(uint64_t start_id) {
  HANDLE start = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(start_id));
  if (start == nullptr) return;  // ended already
  system_calls.WaitForSingleObject(start, SWEEPER_WAIT_FOR_START_MS);
  CloseHandle(start);
}

}  // namespace

void start_detached_sweeper() {
  const wchar_t* name = last_component(extraction_dir);
  if (name == extraction_dir || !is_bundle_folder_name(name)) return;
  wchar_t value[SWEEPER_VALUE_CAPACITY];
  TextCursor text = text_start(value, SWEEPER_VALUE_CAPACITY);
  wchar_t own_id[PROCESS_ID_TEXT_CAPACITY];
  format_own_process_id(own_id, PROCESS_ID_TEXT_CAPACITY);
  if (!text_try_append(&text, own_id) || !text_try_append_unit(&text, L':') || !text_try_append(&text, name)) return;
  wchar_t* environment = sweeper_environment(value);
  if (environment == nullptr) return;
  const wchar_t* module = launcher_module();
  TextCursor line = text_start(sweeper_command_line, PATH_CAPACITY + 3);
  if (text_try_append_unit(&line, L'"') && text_try_append(&line, module) && text_try_append_unit(&line, L'"')) {
    // No standard handles and no handle inherited: a caller that reads the
    // start's output through a pipe sees its end when the start ends. Out of
    // the console and its group, so no console event reaches it; no busy
    // cursor. Below normal rather than idle: an idle process may wait
    // indefinitely on a busy machine, holding the lock of a bundle it removes.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION sweeper = {};
    if (system_calls.CreateProcessW(
            module, sweeper_command_line, nullptr, nullptr, FALSE,
            DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | BELOW_NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT,
            environment, nullptr, &startup, &sweeper)) {
      CloseHandle(sweeper.hThread);
      CloseHandle(sweeper.hProcess);
    }
  }
  free(environment);
}

bool run_detached_sweeper() {
  wchar_t* value = get_env_copy_narrow(SWEEPER_VARIABLE);
  if (value == nullptr) return false;
  set_env_narrow(SWEEPER_VARIABLE, nullptr);
  uint64_t start_id = 0;
  const wchar_t* name = nullptr;
  if (!read_sweeper_value(value, &start_id, &name)) {
    free(value);
    return false;
  }
  // Of the sweeper's form, yet for another program (this file replaced by
  // another version after the start began, or packed otherwise): a sweeper
  // with nothing to do, never a hidden run of the application.
  CacheChoice choice = {};
  if (cached_mode_wanted(&choice) && is_own_bundle_name(name, choice.bundle_id)) {
    wait_for_start(start_id);
    // The disk's time and the processor's go to what the user runs first.
    SetPriorityClass(GetCurrentProcess(), PROCESS_MODE_BACKGROUND_BEGIN);
    wchar_t folder[PATH_CAPACITY];
    TextCursor kept = text_start(extraction_dir, PATH_CAPACITY);
    if (find_application_dir(&choice, folder) && text_try_join_path(&kept, folder, name) &&
        check_own_directory(extraction_dir) == OWN_DIRECTORY) {
      sweeper_form = {as_wide(WORKING_DIR_FORM), as_wide(DIRECTORY_LOCK_NAME), true};
      sweep_leftovers(&sweeper_form);
    }
  }
  free(value);
  return true;
}
