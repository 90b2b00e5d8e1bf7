// The sample application's helper DLL: a greeting and a file hash, used by
// the application to show that its own DLLs load from the extraction directory.
#define SAMPLE_HELPER_BUILD
#include "sample_helper.h"

#include <windows.h>

const wchar_t* sample_greeting() {
  return L"hello from sample_helper.dll";
}

bool sample_file_hash(const wchar_t* path, unsigned long long* hash, unsigned long long* size) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  unsigned long long value = 1469598103934665603ull;
  unsigned long long total = 0;
  static unsigned char buffer[65536];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    for (DWORD i = 0; i < count; ++i) value = (value ^ buffer[i]) * 1099511628211ull;
    total += count;
  }
  CloseHandle(file);
  *hash = value;
  *size = total;
  return true;
}
