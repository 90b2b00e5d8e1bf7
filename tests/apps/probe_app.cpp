// An application DLL for the end-to-end argument and fault tests. By default it
// writes every argument it receives as hexadecimal UTF-16 units, one line each,
// so that any argument (line breaks and surrogates included) comes back exactly,
// and then the path it was loaded from.
// After "--fault" it ends in the named way instead:
//   --fault crash                 an access violation in run_code
//   --fault exit-process N        ExitProcess(N) from inside run_code
//   --fault wait-while FILE       create FILE holding this process's id, return 0 once it is gone (at most 120 s)
// After "--variables" it writes each VORBEL_ variable as every view of the
// environment this DLL has shows it: "VIEW NAME=value" (UTF-8; "<unset>"
// when the view does not hold it), VIEW one of getenv, _wgetenv, _wenviron,
// environ and GetEnvironmentVariableW.
// After "--show-state" it writes "show=N", the show state its STARTUPINFO
// holds for the first window, or "show=none", and returns N (100 for none),
// for a caller that sees no output (`start /min`).
// After "--first-window [TITLE]" it writes "other=present" or "other=gone"
// for a top-level window titled TITLE (when given), then makes a window,
// shows it with SW_SHOWDEFAULT (the show state its caller gave), and
// returns what that made of it: 2 minimized, 3 maximized, 1 neither (101: no
// window could be made). user32 is bound here only, so that the other modes
// load no more than before.
// For the tests of copies the application starts of the launcher's executable
// (argv[0]), it writes plain "key=value" lines (UTF-8):
//   --state N             app_dir, cwd and each VORBEL_ variable; returns N
//   --relaunch N          the same lines, then starts a copy with "--state 7" on
//                         this process's streams, writes "relaunch_status=S"
//                         (the copy's status) and returns N
//   --hold FILE MS N      starts a copy that keeps FILE (beside the application)
//                         open for MS ms; once it has it open (at most 30 s), writes
//                         "held=yes" (or "held=no") and "holder=PID", and returns N
//   --hold-here FILE EVENT MS  that copy's part: writes "hold=PATH" (or
//                         "hold=failed"), signals EVENT, and keeps FILE open
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "tests/support/argument_quoting.h"

namespace {

void write_text(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int fault(const wchar_t* kind, const wchar_t* value) {
  if (wcscmp(kind, L"crash") == 0) {
    *static_cast<volatile int*>(nullptr) = 1;
  } else if (wcscmp(kind, L"exit-process") == 0 && value != nullptr) {
    ExitProcess(wcstoul(value, nullptr, 0));
  } else if (wcscmp(kind, L"wait-while") == 0 && value != nullptr) {
    HANDLE marker = CreateFileW(value, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
      std::string id = std::to_string(GetCurrentProcessId());
      DWORD written = 0;
      WriteFile(marker, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
      CloseHandle(marker);
    }
    for (int waited = 0; waited < 120000 && GetFileAttributesW(value) != INVALID_FILE_ATTRIBUTES; waited += 50) {
      Sleep(50);
    }
    return 0;
  }
  return 99;
}

std::string utf8(const std::wstring& text) {
  int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr, nullptr);
  return bytes;
}

// The value of name in a NAME=value array, compared without regard to case
// as the system compares names.
template <typename Unit>
const Unit* in_block(Unit** block, const std::string& name) {
  for (Unit** entry = block; entry != nullptr && *entry != nullptr; ++entry) {
    size_t at = 0;
    while (at < name.size() && (*entry)[at] != 0 &&
           towupper(static_cast<wint_t>((*entry)[at])) == towupper(static_cast<wint_t>(name[at]))) {
      ++at;
    }
    if (at == name.size() && (*entry)[at] == '=') return *entry + at + 1;
  }
  return nullptr;
}

const char* const VARIABLES[] = {"VORBEL_ONEFILE_PARENT", "VORBEL_ONEFILE_START", "VORBEL_ONEFILE_DIRECTORY",
                                 "VORBEL_ORIGINAL_ARGV0", "VORBEL_ONEFILE_CONTENTS"};

std::string system_view(const std::wstring& name) {
  static wchar_t value[32768];
  SetLastError(0);
  DWORD length = GetEnvironmentVariableW(name.c_str(), value, 32768);
  bool unset = length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND;
  return unset ? "<unset>" : utf8(std::wstring(value, length));
}

// The path this DLL was loaded from.
std::wstring own_module() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&own_module), &self);
  static wchar_t module[32768];
  DWORD length = GetModuleFileNameW(self, module, 32768);
  return std::wstring(module, length);
}

std::wstring own_directory() {
  std::wstring module = own_module();
  return module.substr(0, module.find_last_of(L'\\'));
}

int report_variables() {
  std::string report;
  for (const char* name : VARIABLES) {
    std::wstring wide_name(name, name + strlen(name));
    auto line = [&](const char* view, const std::string& value) {
      report += std::string(view) + " " + name + "=" + value + "\n";
    };
    // The narrow views hold text in the ANSI code page; the tests' paths are ASCII.
    const char* narrow = getenv(name);
    line("getenv", narrow ? narrow : "<unset>");
    const wchar_t* wide = _wgetenv(wide_name.c_str());
    line("_wgetenv", wide ? utf8(wide) : "<unset>");
    const wchar_t* wide_entry = in_block(_wenviron, name);
    line("_wenviron", wide_entry ? utf8(wide_entry) : "<unset>");
    const char* narrow_entry = in_block(_environ, name);
    line("environ", narrow_entry ? narrow_entry : "<unset>");
    line("GetEnvironmentVariableW", system_view(wide_name));
  }
  write_text(report);
  return 0;
}

void report_state() {
  static wchar_t cwd[32768];
  DWORD length = GetCurrentDirectoryW(32768, cwd);
  std::string report = "app_dir=" + utf8(own_directory()) + "\ncwd=" + utf8(std::wstring(cwd, length)) + "\n";
  for (const char* name : VARIABLES)
    report += std::string(name) + "=" + system_view(std::wstring(name, name + strlen(name))) + "\n";
  write_text(report);
}

// Starts the launcher's own executable again; it inherits this process's
// environment, so a copy started while the extracting instance runs finds it
// and runs this application again without unpacking. A copy that is not
// waited for gets no standard streams: with this process's, it would keep
// them open, and whoever reads them to their end waiting, for as long as it runs.
DWORD start_again(const std::wstring& launcher, const std::wstring& arguments, bool wait, DWORD* id = nullptr) {
  std::wstring line = quote_argument(launcher) + L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!wait) startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(launcher.c_str(), line.data(), nullptr, nullptr, wait, 0, nullptr, nullptr, &startup, &child)) {
    return 0xFFFFFFFF;
  }
  DWORD status = 0;
  if (id != nullptr) *id = child.dwProcessId;
  if (wait) {
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &status);
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return status;
}

// Waits until the copy holds the file: it must have it open before this run
// ends and the cleanup begins.
void hold_in_other_process(const std::wstring& launcher, const std::wstring& file, const std::wstring& hold_ms) {
  std::wstring event_name = L"vorbel_probe_hold_" + std::to_wstring(GetCurrentProcessId());
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
  DWORD holder = 0;
  start_again(launcher, L"--hold-here " + quote_argument(file) + L" " + event_name + L" " + quote_argument(hold_ms),
              false, &holder);
  bool holds = WaitForSingleObject(held, 30000) == WAIT_OBJECT_0;
  write_text(std::string("held=") + (holds ? "yes" : "no") + "\nholder=" + std::to_string(holder) + "\n");
  CloseHandle(held);
}

void hold_file(const std::wstring& path, const std::wstring& event_name, DWORD hold_ms) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  write_text(file == INVALID_HANDLE_VALUE ? "hold=failed\n" : "hold=" + utf8(path) + "\n");
  HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name.c_str());
  if (held != nullptr) {
    SetEvent(held);
    CloseHandle(held);
  }
  Sleep(hold_ms);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

int first_window_state(const wchar_t* other_title) {
  HMODULE user32 = LoadLibraryW(L"user32.dll");
  if (user32 == nullptr) return 101;
  if (other_title != nullptr) {
    auto find = reinterpret_cast<decltype(&FindWindowW)>(GetProcAddress(user32, "FindWindowW"));
    write_text(find(nullptr, other_title) != nullptr ? "other=present\n" : "other=gone\n");
  }
  auto create = reinterpret_cast<decltype(&CreateWindowExW)>(GetProcAddress(user32, "CreateWindowExW"));
  auto show = reinterpret_cast<decltype(&ShowWindow)>(GetProcAddress(user32, "ShowWindow"));
  auto iconic = reinterpret_cast<decltype(&IsIconic)>(GetProcAddress(user32, "IsIconic"));
  auto zoomed = reinterpret_cast<decltype(&IsZoomed)>(GetProcAddress(user32, "IsZoomed"));
  auto destroy = reinterpret_cast<decltype(&DestroyWindow)>(GetProcAddress(user32, "DestroyWindow"));
  HWND window = create(0, L"STATIC", L"probe first window", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 300, 200,
                       nullptr, nullptr, nullptr, nullptr);
  if (window == nullptr) return 101;
  show(window, SW_SHOWDEFAULT);
  int state = iconic(window) ? 2 : zoomed(window) ? 3 : 1;
  write_text("window=" + std::to_string(state) + "\n");
  destroy(window);
  return state;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
  if (argc >= 3 && wcscmp(argv[1], L"--fault") == 0) return fault(argv[2], argc >= 4 ? argv[3] : nullptr);
  if (argc >= 2 && wcscmp(argv[1], L"--variables") == 0) return report_variables();
  if (argc >= 3 && wcscmp(argv[1], L"--state") == 0) {
    report_state();
    return static_cast<int>(wcstoul(argv[2], nullptr, 0));
  }
  if (argc >= 3 && wcscmp(argv[1], L"--relaunch") == 0) {
    report_state();
    write_text("relaunch_status=" + std::to_string(start_again(argv[0], L"--state 7", true)) + "\n");
    return static_cast<int>(wcstoul(argv[2], nullptr, 0));
  }
  if (argc >= 5 && wcscmp(argv[1], L"--hold") == 0) {
    hold_in_other_process(argv[0], argv[2], argv[3]);
    return static_cast<int>(wcstoul(argv[4], nullptr, 0));
  }
  if (argc >= 5 && wcscmp(argv[1], L"--hold-here") == 0) {
    hold_file(own_directory() + L"\\" + argv[2], argv[3], wcstoul(argv[4], nullptr, 10));
    return 0;
  }
  if (argc >= 2 && wcscmp(argv[1], L"--first-window") == 0) return first_window_state(argc >= 3 ? argv[2] : nullptr);
  if (argc >= 2 && wcscmp(argv[1], L"--show-state") == 0) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    bool given = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0;
    write_text("show=" + (given ? std::to_string(startup.wShowWindow) : std::string("none")) + "\n");
    return given ? startup.wShowWindow : 100;
  }
  static const char digits[] = "0123456789abcdef";
  std::string report = "argc=" + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) {
    report += "arg=";
    for (const wchar_t* unit = argv[i]; *unit != L'\0'; ++unit) {
      for (int shift = 12; shift >= 0; shift -= 4) report += digits[(*unit >> shift) & 0xF];
    }
    report += "\n";
  }
  // Where the application was loaded from, for the tests of paths at the limits.
  report += "module=" + utf8(own_module()) + "\n";
  write_text(report);
  return 0;
}
