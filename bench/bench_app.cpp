// The benchmark's application DLL: run_code notes the moment it is entered
// and returns at once. It reports that moment against VORBEL_ONEFILE_START
// (both FILETIME ticks, so the difference is the launcher's time to run_code)
// and the extracting instance's peak memory, read from the parent process.
#include <windows.h>
#include <psapi.h>

#include <cstdlib>
#include <string>

#include "bench/bench_report.h"

namespace {

unsigned long long env_number(const wchar_t* name) {
  wchar_t text[64];
  DWORD length = GetEnvironmentVariableW(name, text, 64);
  if (length == 0 || length >= 64) return 0;
  return std::wcstoull(text, nullptr, 10);
}

// The launcher's first instance, which unpacked the payload, is waiting for
// this one; its peak is reached before it starts the child.
unsigned long long parent_peak_bytes() {
  DWORD parent_id = static_cast<DWORD>(env_number(L"VORBEL_ONEFILE_PARENT"));
  if (parent_id == 0) return 0;
  HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, parent_id);
  if (parent == nullptr) return 0;
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  unsigned long long peak = K32GetProcessMemoryInfo(parent, &counters, sizeof counters) ? counters.PeakWorkingSetSize : 0;
  CloseHandle(parent);
  return peak;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t**) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  unsigned long long entered = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  unsigned long long start = env_number(L"VORBEL_ONEFILE_START");
  double to_run_code = start == 0 ? 0.0 : static_cast<double>(entered - start) / 1e7;
  report_line(field("to_run_code_s", to_run_code) + field("entered_filetime", entered) +
              field("parent_peak_bytes", parent_peak_bytes()));
  return 0;
}
