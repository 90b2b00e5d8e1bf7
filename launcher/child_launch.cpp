// The child launch of the extracting instance; see child_launch.h.
// The child inherits the standard handles and the environment (with the
// VORBEL_ variables set here) and starts in the launcher's current directory.
#include "launcher/child_launch.h"

#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/error_report.h"
#include "common/launcher_names.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_progress.h"
#include "launcher/command_line_split.h"
#include "launcher/run_settings.h"
#include "paths/env_access.h"
#include "paths/exe_path.h"
#include "paths/path_spec.h"
#include "payload/directory_lock.h"
#include "payload/unpack_payload.h"
#include "shutdown/console_cleanup.h"
#include "shutdown/leftover_sweep.h"

wchar_t child_command_line[COMMAND_LINE_CAPACITY];

namespace {

wchar_t launcher_module_path[PATH_CAPACITY];
wchar_t launcher_directory[EXE_PATH_CAPACITY];
SweepForm leftover_form;

void fill_launcher_module_path() {
  if (launcher_module_path[0] != L'\0') return;
  TextCursor path = text_start(launcher_module_path, PATH_CAPACITY);
  // A path that does not fit comes back cut and terminated all the same:
  // only its length tells, as the capacity less its NUL or more.
  DWORD length = GetModuleFileNameW(nullptr, path.text, static_cast<DWORD>(text_room(&path)));
  if (length == 0) abort();
  text_extend(&path, length);
}

bool needs_quotes(const wchar_t* argument) {
  static const wchar_t specials[] = L" \t\n\v\"";
  for (const wchar_t* special = specials; *special != L'\0'; ++special) {
    if (wcschr(argument, *special) != nullptr) return true;
  }
  return false;
}

void append_backslashes(TextCursor* line, size_t count) {
  for (size_t i = 0; i < count; ++i) text_append_unit(line, L'\\');
}

}  // namespace

void append_argument(TextCursor* line, const wchar_t* argument) {
  if (!needs_quotes(argument)) {
    text_append(line, argument);
    return;
  }
  text_append_unit(line, L'"');
  const wchar_t* unit = argument;
  while (*unit != L'\0') {
    size_t backslashes = 0;
    while (*unit == L'\\') {
      ++backslashes;
      ++unit;
    }
    if (*unit == L'\0') {
      // Doubled, so that the closing quote stays a quote.
      append_backslashes(line, 2 * backslashes);
      break;
    }
    if (*unit == L'"') {
      append_backslashes(line, 2 * backslashes + 1);
    } else {
      append_backslashes(line, backslashes);
    }
    text_append_unit(line, *unit);
    ++unit;
  }
  text_append_unit(line, L'"');
}

namespace {

// The arguments are handed on one at a time, each as soon as it is complete.
wchar_t split_argument[SPLIT_ARGUMENT_CAPACITY];

struct ChildLineBuilder {
  TextCursor line;
  TextCursor argument;
  size_t count;  // arguments handed on so far
};

void take_argument_unit(void* context, wchar_t unit) {
  ChildLineBuilder* builder = static_cast<ChildLineBuilder*>(context);
  // Argument 0 is replaced, so its units are not kept.
  if (builder->count > 0) text_append_unit(&builder->argument, unit);
}

void take_argument_end(void* context) {
  ChildLineBuilder* builder = static_cast<ChildLineBuilder*>(context);
  if (builder->count == 0) {
    append_argument(&builder->line, launcher_module_path);
  } else {
    text_append_unit(&builder->line, L' ');
    // The child's runtime drops an argument that is not there; with exact
    // arguments the child splits its line itself and keeps a quoted empty one.
    if (builder->argument.length == 0 && exact_arguments_wanted()) {
      text_append(&builder->line, L"\"\"");
    } else {
      append_argument(&builder->line, builder->argument.text);
    }
    text_cut(&builder->argument, 0);
  }
  ++builder->count;
}

}  // namespace

void build_child_command_line() {
  fill_launcher_module_path();
  ChildLineBuilder builder = {text_start(child_command_line, COMMAND_LINE_CAPACITY),
                              text_start(split_argument, SPLIT_ARGUMENT_CAPACITY), 0};
  const ArgumentSink sink = {&builder, take_argument_unit, take_argument_end};
  split_command_line(system_calls.GetCommandLineW(), launcher_module_path, &sink);
}

void set_launch_variables(void (*set)(const char* name, const wchar_t* value)) {
  TextCursor directory = text_start(launcher_directory, EXE_PATH_CAPACITY);
  text_append(&directory, get_executable_path(false));
  const wchar_t* last_backslash = wcsrchr(directory.text, L'\\');
  if (last_backslash != nullptr) text_cut(&directory, static_cast<size_t>(last_backslash - directory.text));
  set("VORBEL_ONEFILE_DIRECTORY", launcher_directory);
  set("VORBEL_ORIGINAL_ARGV0", __wargv[0]);
}

namespace {

// What the caller's STARTUPINFO says of the application's windows: how its
// first window opens (a shortcut's "Run: Minimized", `start /min`), where and
// how large, and the shortcut it was started from. The first ShowWindow of a
// process takes that show state, and the application's first window is in
// the child, never here.
constexpr DWORD CALLER_WINDOW_FLAGS = STARTF_USESHOWWINDOW | STARTF_USESIZE | STARTF_USEPOSITION |
                                      STARTF_USECOUNTCHARS | STARTF_USEFILLATTRIBUTE | STARTF_RUNFULLSCREEN |
                                      STARTF_FORCEONFEEDBACK | STARTF_FORCEOFFFEEDBACK | STARTF_TITLEISLINKNAME |
                                      STARTF_TITLEISAPPID | STARTF_PREVENTPINNING;

void take_caller_window_settings(STARTUPINFOW* startup) {
  STARTUPINFOW caller = {};
  caller.cb = sizeof caller;
  GetStartupInfoW(&caller);
  startup->dwFlags = caller.dwFlags & CALLER_WINDOW_FLAGS;
  startup->wShowWindow = caller.wShowWindow;
  startup->dwX = caller.dwX;
  startup->dwY = caller.dwY;
  startup->dwXSize = caller.dwXSize;
  startup->dwYSize = caller.dwYSize;
  startup->dwXCountChars = caller.dwXCountChars;
  startup->dwYCountChars = caller.dwYCountChars;
  startup->dwFillAttribute = caller.dwFillAttribute;
  // Lives as long as this process, which outlives the child's start.
  startup->lpTitle = caller.lpTitle;
}

// ERROR_INTERNAL_ERROR says the new process died in the system's own start
// of it, before its first instruction (seen under Wine on a loaded machine:
// the loader of the new process crashed). Nothing of it ran, so the start is
// made again, a bounded number of times; every other answer is final.
bool create_suspended_child(STARTUPINFOW* startup, PROCESS_INFORMATION* child) {
  constexpr int STARTS = 3;
  for (int start = 1;; ++start) {
    if (system_calls.CreateProcessW(launcher_module_path, child_command_line, nullptr, nullptr, TRUE,
                                    NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, startup, child)) {
      return true;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR || start == STARTS) return false;
  }
}

}  // namespace

wchar_t* launcher_module() {
  fill_launcher_module_path();
  return launcher_module_path;
}

int launch_child_and_wait() {
  set_launch_variables(set_child_env_narrow);
  // In the child's environment from its creation, so that every C runtime
  // the application uses (msvcrt, the UCRT, a static one) reads it at its
  // start; the child sets it again, to the same directory, before the DLL
  // loads.
  set_child_env_narrow("VORBEL_ONEFILE_CONTENTS", extraction_dir);
  fill_launcher_module_path();
  STARTUPINFOW startup = {};
  take_caller_window_settings(&startup);
  // STARTF_USEHOTKEY is not taken: it reuses hStdInput, which the child needs.
  startup.dwFlags |= STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.cb = sizeof startup;
  build_child_command_line();
  // The application never meets one of its files still open, nor the scan
  // that closing it starts on Windows.
  end_unpack();
  // Gone before the child can show a window or write a line.
  end_unpack_progress();

  // Suspended until the console-event thread has a handle to stop it with:
  // a child it could not stop would outlive a console event, and the
  // directory would be removed under it.
  PROCESS_INFORMATION child = {};
  if (!create_suspended_child(&startup, &child)) {
    report_system_error("Error, couldn't launch child", GetLastError());
    end_after_report(2);
  }
  // That thread gets a handle of its own, because it may close it at any
  // time, and a handle must not be closed while another thread waits on it;
  // this thread keeps the original.
  HANDLE shared = nullptr;
  bool started = system_calls.DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &shared, 0,
                                              FALSE, DUPLICATE_SAME_ACCESS) != FALSE;
  if (started) {
    InterlockedExchangePointer(const_cast<HANDLE*>(&child_process), shared);
    started = ResumeThread(child.hThread) != static_cast<DWORD>(-1);
  }
  if (!started) {
    DWORD error = GetLastError();
    // Not one instruction of the application has run, and none may: a child
    // that cannot be ended stays suspended, which the user is told.
    bool ended = system_calls.TerminateProcess(child.hProcess, 1) != FALSE;
    DWORD end_error = GetLastError();
    report_system_error("Error, couldn't launch child", error);
    if (!ended) report_system_error("Error, couldn't end the child that was never started", end_error);
    end_after_report(2);
  }
  CloseHandle(child.hThread);
  // Only now, so that it never delays the application's start.
  leftover_form = {as_wide(EXTRACTION_DIR_SPEC), as_wide(DIRECTORY_LOCK_NAME), false};
  start_leftover_sweep(&leftover_form);

  DWORD exit_code = 0;
  if (system_calls.WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0) {
    // The child may still run from the extraction directory, which therefore stays.
    report_system_error("Error, couldn't wait for child", GetLastError());
    end_after_report(2);
  }
  limit_leftover_sweep();
  if (!system_calls.GetExitCodeProcess(child.hProcess, &exit_code)) exit_code = 1;
  note_child_end(exit_code);
  CloseHandle(child.hProcess);
  HANDLE unclaimed = InterlockedExchangePointer(const_cast<HANDLE*>(&child_process), nullptr);
  if (unclaimed != nullptr) CloseHandle(unclaimed);

  cleanup_extraction();
  finish_leftover_sweep();
  return static_cast<int>(exit_code);
}
