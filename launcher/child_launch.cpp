// The child launch of the extracting instance; see child_launch.h.
// The child inherits the standard handles and the environment (with the
// VORBEL_ variables set here) and starts in the launcher's current directory.
#include "launcher/child_launch.h"

#include <stdlib.h>
#include <windows.h>
#include <shellapi.h>

#include "common/bounded_text.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "paths/env_access.h"
#include "paths/exe_path.h"
#include "shutdown/console_cleanup.h"
#include "shutdown/error_report.h"

wchar_t child_command_line[COMMAND_LINE_CAPACITY];

namespace {

wchar_t launcher_module_path[PATH_CAPACITY];
wchar_t launcher_directory[EXE_PATH_CAPACITY];

void fill_launcher_module_path() {
  if (launcher_module_path[0] != L'\0') return;
  if (GetModuleFileNameW(nullptr, launcher_module_path, PATH_CAPACITY) == 0) abort();
  bounded_length(launcher_module_path, PATH_CAPACITY);
}

bool needs_quotes(const wchar_t* argument) {
  static const wchar_t specials[] = L" \t\n\v\"";
  for (const wchar_t* special = specials; *special != L'\0'; ++special) {
    if (wcschr(argument, *special) != nullptr) return true;
  }
  return false;
}

void append_unit(wchar_t unit) {
  append_wide_unit(child_command_line, COMMAND_LINE_CAPACITY, unit);
}

void append_backslashes(size_t count) {
  for (size_t i = 0; i < count; ++i) append_unit(L'\\');
}

}  // namespace

void append_argument(const wchar_t* argument) {
  if (!needs_quotes(argument)) {
    append_wide(child_command_line, COMMAND_LINE_CAPACITY, argument);
    return;
  }
  append_unit(L'"');
  const wchar_t* unit = argument;
  while (*unit != L'\0') {
    size_t backslashes = 0;
    while (*unit == L'\\') {
      ++backslashes;
      ++unit;
    }
    if (*unit == L'\0') {
      // Doubled, so that the closing quote stays a quote.
      append_backslashes(2 * backslashes);
      break;
    }
    if (*unit == L'"') {
      append_backslashes(2 * backslashes + 1);
    } else {
      append_backslashes(backslashes);
    }
    append_unit(*unit);
    ++unit;
  }
  append_unit(L'"');
}

void build_child_command_line() {
  int count = 0;
  LPWSTR* arguments = system_calls.CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) {
    report_system_error("Error, couldn't split the command line for the child", GetLastError());
    exit(2);
  }
  child_command_line[0] = L'\0';
  fill_launcher_module_path();
  if (count > 0) arguments[0] = launcher_module_path;
  // The array lives until the process ends.
  for (int i = 0; i < count; ++i) {
    if (arguments[i] == nullptr) abort();
    if (i > 0) append_unit(L' ');
    append_argument(arguments[i]);
  }
}

int launch_child_and_wait() {
  copy_wide(launcher_directory, EXE_PATH_CAPACITY, get_executable_path(false));
  wchar_t* last_backslash = wcsrchr(launcher_directory, L'\\');
  if (last_backslash != nullptr) *last_backslash = L'\0';
  set_env_narrow("VORBEL_ONEFILE_DIRECTORY", launcher_directory);
  set_env_narrow("VORBEL_ORIGINAL_ARGV0", __wargv[0]);

  fill_launcher_module_path();
  STARTUPINFOW startup = {};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.cb = sizeof startup;
  build_child_command_line();

  PROCESS_INFORMATION child = {};
  if (!system_calls.CreateProcessW(launcher_module_path, child_command_line, nullptr, nullptr, TRUE,
                                   NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &child)) {
    report_system_error("Error, couldn't launch child", GetLastError());
    exit(2);
  }
  CloseHandle(child.hThread);

  // The console-event thread may stop the child and close its handle at any
  // time, and a handle must not be closed while another thread waits on it.
  // So that thread gets a handle of its own; this thread keeps the original.
  HANDLE shared = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &shared, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    shared = nullptr;  // the child still gets every console event itself
  }
  InterlockedExchangePointer(const_cast<HANDLE*>(&child_process), shared);

  DWORD exit_code = 0;
  WaitForSingleObject(child.hProcess, INFINITE);
  if (!system_calls.GetExitCodeProcess(child.hProcess, &exit_code)) exit_code = 1;
  CloseHandle(child.hProcess);
  HANDLE unclaimed = InterlockedExchangePointer(const_cast<HANDLE*>(&child_process), nullptr);
  if (unclaimed != nullptr) CloseHandle(unclaimed);

  cleanup_extraction();
  return static_cast<int>(exit_code);
}
