// Starts a Windows program with captured standard output and error, an
// environment of the test's choosing, and reads its full 32-bit exit code
// (a shell under Wine sees only the low 8 bits).
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/argument_quoting.h"

struct ProcessResult {
  DWORD exit_code = 0;
  std::string out;
  std::string err;
  bool started = false;
  DWORD start_error = 0;
};

// Variables to set (a value) or remove (no value) on top of the current
// environment.
using EnvChanges = std::map<std::wstring, std::optional<std::wstring>>;

struct RunOptions {
  EnvChanges env;
  std::wstring current_directory;  // empty: the test's own
  DWORD timeout_ms = 120000;       // then the process is terminated (exit code 0xDEAD)
  bool inherit_console = false;    // standard handles captured unless set
  // The show state the process is started with (STARTF_USESHOWWINDOW), as
  // a shortcut's "Run: Minimized" or `start /min` gives it; none by default.
  std::optional<WORD> show_window;
};

// command_line is passed as it stands; application may be empty.
ProcessResult run_process(const std::wstring& application, const std::wstring& command_line,
                          const RunOptions& options = {});

// A process left running for the test, terminated when the object goes.
class RunningProcess {
 public:
  RunningProcess(const std::wstring& application, const std::wstring& command_line);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;
  DWORD id() const { return info_.dwProcessId; }
  HANDLE handle() const { return info_.hProcess; }

 private:
  PROCESS_INFORMATION info_ = {};
};

// The test program's own path.
std::wstring own_executable();

// A Unix path of the build tree as Wine shows it ("Z:\..." for "/...");
// Windows paths come back unchanged.
std::wstring windows_path(const std::string& path);

// Text of a Windows error code as FormatMessageA gives it in US English;
// empty when the system has none.
std::string system_message(DWORD code);

// What the runtime's text-mode streams write for text: every "\n" as "\r\n".
std::string text_mode(const std::string& text);

std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);
