// Host stand-in for the system-call seam with only the entries that
// paths/path_spec.cpp calls through; the fuzz target fills them with fakes.
#pragma once

#include <windows.h>

struct SystemCalls {
  DWORD(WINAPI* GetTempPathW)(DWORD length, LPWSTR buffer);
  HRESULT(WINAPI* SHGetFolderPathW)(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
  DWORD(WINAPI* GetFileAttributesW)(LPCWSTR path);
};

extern SystemCalls system_calls;
