// The error dialog; see error_dialog.h. Runs on the main thread only, just
// before the process ends, so its heap blocks are left to the process end.
// The text is what was written, through the ANSI code page as written.
#include "common/error_dialog.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "common/system_calls.h"

bool error_dialog_enabled = false;

bool interactive_window_station() {
  HWINSTA station = system_calls.GetProcessWindowStation();
  if (station == nullptr) return false;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!system_calls.GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void offer_error_dialog(const char* format, va_list values) {
  if (!error_dialog_enabled || !interactive_window_station()) return;
  va_list counting;
  va_copy(counting, values);
  int length = _vscprintf(format, counting);
  va_end(counting);
  if (length < 0) return;
  char* narrow = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (narrow == nullptr) return;
  _vsnprintf(narrow, static_cast<size_t>(length) + 1, format, values);
  narrow[length] = '\0';
  int units = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
  if (units <= 0) return;
  wchar_t* text = static_cast<wchar_t*>(malloc(static_cast<size_t>(units) * sizeof(wchar_t)));
  if (text == nullptr || MultiByteToWideChar(CP_ACP, 0, narrow, -1, text, units) != units) return;
  system_calls.MessageBoxW(nullptr, text, nullptr, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}
