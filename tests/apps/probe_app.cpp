// An application DLL for the end-to-end argument and fault tests. By default it
// writes every argument it receives as hexadecimal UTF-16 units, one line each,
// so that any argument (line breaks and surrogates included) comes back exactly,
// and then the path it was loaded from.
// After "--fault" it ends in the named way instead:
//   --fault crash                 an access violation in run_code
//   --fault exit-process N        ExitProcess(N) from inside run_code
//   --fault wait-while FILE       create FILE holding this process's id, return 0 once it is gone (at most 120 s)
#include <windows.h>

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

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
  if (argc >= 3 && wcscmp(argv[1], L"--fault") == 0) return fault(argv[2], argc >= 4 ? argv[3] : nullptr);
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
