// The recording seam entries of dialog_recorder.h.
#include "tests/support/dialog_recorder.h"

#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

#include "common/system_calls.h"
#include "tests/support/process_runner.h"

namespace {

DWORD station_flags = 0;
bool station_readable = true;

HWINSTA WINAPI fake_station() {
  printf("station?\n");
  return reinterpret_cast<HWINSTA>(static_cast<uintptr_t>(0x5a));
}

BOOL WINAPI fake_station_information(HANDLE, int index, PVOID information, DWORD length, LPDWORD) {
  if (!station_readable || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS)) return FALSE;
  static_cast<USEROBJECTFLAGS*>(information)->dwFlags = station_flags;
  return TRUE;
}

int WINAPI recording_box(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
  printf("box(%s, %ls): %ls|\n", (type & MB_ICONMASK) == MB_ICONERROR ? "error" : "other",
         title == nullptr ? L"(none)" : title, text);
  fflush(stdout);
  return IDOK;
}

}  // namespace

void record_error_dialogs(const wchar_t* station) {
  station_flags = wcscmp(station, L"visible") == 0 ? WSF_VISIBLE : 0;
  station_readable = wcscmp(station, L"unreadable") != 0;
  system_calls.GetProcessWindowStation = fake_station;
  system_calls.GetUserObjectInformationW = fake_station_information;
  system_calls.MessageBoxW = recording_box;
}

std::string system_message_in_box(DWORD code) {
  std::string text = system_message(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}
