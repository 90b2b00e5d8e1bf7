// The relaunch floor: starts itself again, and the second instance loads an
// application DLL and calls its run_code, as the launcher's two instances do,
// without a payload or any file work.
//   floor_relaunch.exe DLL [ARG]...
#include <windows.h>

#include <string>

namespace {

std::wstring quoted(const wchar_t* argument) {
  return std::wstring(L"\"") + argument + L"\"";
}

int run_child(const wchar_t* dll) {
  HMODULE application = LoadLibraryExW(
      dll, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (application == nullptr) return 2;
  using RunCode = int (*)(int, wchar_t**);
  auto run_code = reinterpret_cast<RunCode>(reinterpret_cast<void*>(GetProcAddress(application, "run_code")));
  if (run_code == nullptr) return 2;
  return run_code(__argc - 2, __wargv + 2);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  if (__argc >= 3 && wcscmp(__wargv[1], L"--child") == 0) return run_child(__wargv[2]);
  if (__argc < 2) return 2;
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = quoted(self) + L" --child";
  for (int i = 1; i < __argc; ++i) command += L" " + quoted(__wargv[i]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) return 2;
  CloseHandle(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 2;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  return static_cast<int>(code);
}
