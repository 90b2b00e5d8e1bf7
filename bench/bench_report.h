// What the benchmark programs share: a clock read in the program itself and
// one line of "key=value" fields on standard output for bench/run_bench.py.
// Header-only, Windows only; no part of the launcher includes it.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

inline double seconds_since(LARGE_INTEGER started) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - started.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline LARGE_INTEGER clock_now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

// The programs are GUI-subsystem programs, as the launcher is, so that a
// start costs them what it costs the launcher; they write through the
// inherited handle.
inline void report_line(const std::string& fields) {
  std::string line = fields + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

inline std::string field(const char* name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%s=%.6f ", name, value);
  return text;
}

inline std::string field(const char* name, unsigned long long value) {
  return std::string(name) + "=" + std::to_string(value) + " ";
}

// Every entry below path, as a directory listing sees it (the floor a check
// of a tree is measured against).
inline size_t list_tree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return 0;
  size_t count = 0;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    ++count;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) count += list_tree(path + L"\\" + found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}
