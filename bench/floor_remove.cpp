// The removal floor: a plain recursive walk with FindFirstFileExW,
// DeleteFileW and RemoveDirectoryW, nothing else. Reports the time it took
// inside the process.
//   floor_remove.exe DIR
#include <windows.h>

#include <string>

#include "bench/bench_report.h"

namespace {

void remove_tree(const std::wstring& directory) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((directory + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = directory + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(directory.c_str());
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  if (__argc != 2) return 2;
  LARGE_INTEGER started = clock_now();
  remove_tree(__wargv[1]);
  report_line(field("remove_s", seconds_since(started)));
  return GetFileAttributesW(__wargv[1]) == INVALID_FILE_ATTRIBUTES ? 0 : 1;
}
