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
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

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
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
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
    while (at < name.size() && (*entry)[at] != 0 && towupper(static_cast<wint_t>((*entry)[at])) ==
                                                         towupper(static_cast<wint_t>(name[at]))) {
      ++at;
    }
    if (at == name.size() && (*entry)[at] == '=') return *entry + at + 1;
  }
  return nullptr;
}

int report_variables() {
  std::string report;
  for (const char* name : {"VORBEL_ONEFILE_PARENT", "VORBEL_ONEFILE_START", "VORBEL_ONEFILE_DIRECTORY",
                           "VORBEL_ORIGINAL_ARGV0", "VORBEL_ONEFILE_CONTENTS"}) {
    std::wstring wide_name(name, name + strlen(name));
    auto line = [&](const char* view, const std::string& value) { report += std::string(view) + " " + name + "=" + value + "\n"; };
    // The narrow views hold text in the ANSI code page; the tests' paths are ASCII.
    const char* narrow = getenv(name);
    line("getenv", narrow ? narrow : "<unset>");
    const wchar_t* wide = _wgetenv(wide_name.c_str());
    line("_wgetenv", wide ? utf8(wide) : "<unset>");
    const wchar_t* wide_entry = in_block(_wenviron, name);
    line("_wenviron", wide_entry ? utf8(wide_entry) : "<unset>");
    const char* narrow_entry = in_block(_environ, name);
    line("environ", narrow_entry ? narrow_entry : "<unset>");
    static wchar_t value[32768];
    SetLastError(0);
    DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value, 32768);
    bool unset = length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND;
    line("GetEnvironmentVariableW", unset ? "<unset>" : utf8(std::wstring(value, length)));
  }
  write_text(report);
  return 0;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
  if (argc >= 3 && wcscmp(argv[1], L"--fault") == 0) return fault(argv[2], argc >= 4 ? argv[3] : nullptr);
  if (argc >= 2 && wcscmp(argv[1], L"--variables") == 0) return report_variables();
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
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&run_code), &self);
  static wchar_t module[32768];
  DWORD length = GetModuleFileNameW(self, module, 32768);
  static char module_utf8[4 * 32768];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, module, static_cast<int>(length), module_utf8, sizeof module_utf8,
                                  nullptr, nullptr);
  report += "module=" + std::string(module_utf8, static_cast<size_t>(bytes)) + "\n";
  write_text(report);
  return 0;
}
