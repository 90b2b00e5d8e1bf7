// The floor of a cached start: one process that lists a directory's whole
// tree (what checking it costs at least) and then loads an application DLL
// and calls its run_code, as a later start of the cached mode does.
//   floor_cached.exe DIR DLL [ARG]...     (DIR "-": no listing)
#include <windows.h>

#include <string>

#include "bench/bench_report.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  if (__argc < 3) return 2;
  if (wcscmp(__wargv[1], L"-") != 0 && list_tree(__wargv[1]) == 0) return 2;
  HMODULE application = LoadLibraryExW(
      __wargv[2], nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (application == nullptr) return 2;
  using RunCode = int (*)(int, wchar_t**);
  auto run_code = reinterpret_cast<RunCode>(reinterpret_cast<void*>(GetProcAddress(application, "run_code")));
  if (run_code == nullptr) return 2;
  return run_code(__argc - 2, __wargv + 2);
}
