// Host stand-in for the few Windows declarations paths/path_spec.cpp uses, so
// that the fuzz target compiles the launcher's own expansion code on Linux.
// Only for fuzz/: the product itself is built and tested against real Windows.
#pragma once

#include <stdint.h>
#include <wchar.h>
#include <wctype.h>

#define WINAPI
#define MAX_PATH 260
#define S_OK 0
#define E_FAIL static_cast<HRESULT>(0x80004005)
#define SHGFP_TYPE_CURRENT 0
#define CSIDL_PROFILE 40
#define CSIDL_LOCAL_APPDATA 28
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define INVALID_FILE_ATTRIBUTES static_cast<DWORD>(-1)

typedef uint32_t DWORD;
typedef int BOOL;
typedef int32_t HRESULT;
typedef void* HANDLE;
typedef void* HWND;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
void GetSystemTimeAsFileTime(FILETIME* time);

// The runtime library's names, mapped onto the C library's.
extern int __argc;
extern wchar_t** __wargv;
#define _DIGIT wctype("digit")
#define _wcsicmp wcscasecmp
#define _snwprintf swprintf
