// The seam through which the launcher reaches the few system and runtime calls
// whose failures tests must provoke and Wine will not produce on demand.
// Production code calls through `system_calls`; tests swap single entries and
// restore them. Nothing else goes through here: the table stays small.
// The shell32 and user32 entries bind on first use (neither is imported); a
// failure to bind is that call failing.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>
#include <aclapi.h>
#include <stddef.h>

struct ZSTD_DCtx_s;

struct SystemCalls {
  BOOL(WINAPI* SetConsoleCtrlHandler)(PHANDLER_ROUTINE handler, BOOL add);
  DWORD(WINAPI* GetTempPathW)(DWORD length, LPWSTR buffer);
  HRESULT(WINAPI* SHGetFolderPathW)(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
  BOOL(WINAPI* WriteFile)(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
  BOOL(WINAPI* CreateProcessW)(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
                               LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD flags,
                               LPVOID environment, LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                               LPPROCESS_INFORMATION process_information);
  BOOL(WINAPI* GetExitCodeProcess)(HANDLE process, LPDWORD exit_code);
  // The launcher's own command line: tests hand it the arguments of a case.
  LPWSTR(WINAPI* GetCommandLineW)();
  FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR name);
  int(WINAPI* SHFileOperationW)(LPSHFILEOPSTRUCTW operation);
  // The cleanup's own walk: Wine cannot show a reparse point being removed
  // without its target's contents, so tests report one through the listing.
  HANDLE(WINAPI* FindFirstFileExW)(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found,
                                   FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags);
  BOOL(WINAPI* FindNextFileW)(HANDLE search, LPWIN32_FIND_DATAW found);
  BOOL(WINAPI* DeleteFileW)(LPCWSTR path);
  BOOL(WINAPI* RemoveDirectoryW)(LPCWSTR path);
  void* (*malloc)(size_t size);
  ZSTD_DCtx_s* (*ZSTD_createDCtx)();
  // Wine derives a directory's security from its Unix mode and does not keep
  // a DACL: tests read the one the launcher asks for here.
  BOOL(WINAPI* CreateDirectoryW)(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
  // Files and directories by path: tests record the form each path reaches
  // them in (long ones as "\\?\"), and report a reparse point that Wine
  // shows only by path, never through a handle.
  HANDLE(WINAPI* CreateFileW)(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                              DWORD disposition, DWORD flags, HANDLE template_file);
  DWORD(WINAPI* GetFileAttributesW)(LPCWSTR path);
  // Asked for FileBasicInfo alone: the whole record (GetFileInformationByHandle)
  // takes the volume's serial number as well, which under Wine is a round trip
  // to the mount manager of about a millisecond, and on Windows a second call.
  BOOL(WINAPI* GetFileInformationByHandleEx)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                             DWORD size);
  // Whether a volume keeps ACLs: tests make a root's volume a FAT one.
  BOOL(WINAPI* read_volume_flags)(HANDLE file, DWORD* flags);
  // Security read and set on a handle: Wine keeps no owner or DACL of its own.
  DWORD(WINAPI* GetSecurityInfo)(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner,
                                 PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
  DWORD(WINAPI* SetSecurityInfo)(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID owner,
                                 PSID group, PACL dacl, PACL sacl);
  // Stopping the child: how long it is given, and how the process then ends.
  DWORD(WINAPI* WaitForSingleObject)(HANDLE object, DWORD milliseconds);
  BOOL(WINAPI* DuplicateHandle)(HANDLE source_process, HANDLE source, HANDLE target_process, LPHANDLE target,
                                DWORD access, BOOL inherit, DWORD options);
  void(WINAPI* ExitProcess)(UINT status);
  BOOL(WINAPI* TerminateProcess)(HANDLE process, UINT status);
  // The error dialog: whether the window station is seen, and the box. Tests
  // choose what the station says and record the boxes asked for.
  HWINSTA(WINAPI* GetProcessWindowStation)();
  BOOL(WINAPI* GetUserObjectInformationW)(HANDLE object, int index, PVOID information, DWORD length, LPDWORD needed);
  int(WINAPI* MessageBoxW)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
  // Closing an unpacked file: on Windows the scanner runs then, 1-10 ms a
  // file, which Wine never shows; tests and the bench build make it slow and
  // record where each close runs. The closing threads start through here.
  BOOL(WINAPI* CloseHandle)(HANDLE object);
  HANDLE(WINAPI* CreateThread)(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                               LPVOID parameter, DWORD flags, LPDWORD thread_id);
  // The rest of the calls by path: the test variant of the launcher shows
  // through them what Windows does and Wine does not (a path limit, a file a
  // scanner holds after its close).
  BOOL(WINAPI* MoveFileExW)(LPCWSTR from, LPCWSTR to, DWORD flags);
  DWORD(WINAPI* GetFullPathNameW)(LPCWSTR path, DWORD length, LPWSTR buffer, LPWSTR* file_part);
  BOOL(WINAPI* GetFileAttributesExW)(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information);
  BOOL(WINAPI* SetFileAttributesW)(LPCWSTR path, DWORD attributes);
  // The application DLL's load: tests make it fail as a policy or an
  // antivirus makes it fail on Windows, which Wine never does.
  HMODULE(WINAPI* LoadLibraryExW)(LPCWSTR path, HANDLE file, DWORD flags);
  // A kept bundle's files go to the disk before its rename; tests see which
  // handles are flushed, and when.
  BOOL(WINAPI* FlushFileBuffers)(HANDLE file);
  // A bundle's lock stamped with the time of its last use: tests see that a
  // later start sets it once, and what a damaged bundle gets.
  BOOL(WINAPI* SetFileTime)(HANDLE file, const FILETIME* created, const FILETIME* accessed, const FILETIME* written);
  // The unpack's progress: the clock that decides when it shows, whether
  // standard error is a console, and the window with its bar (user32, bound
  // on first use). Tests set the time and record the window and its steps.
  ULONGLONG(WINAPI* GetTickCount64)();
  BOOL(WINAPI* GetConsoleMode)(HANDLE console, LPDWORD mode);
  HWND(WINAPI* CreateWindowExW)(DWORD extended_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x,
                                int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                LPVOID parameter);
  LRESULT(WINAPI* SendMessageW)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
};

extern SystemCalls system_calls;

// What the SHFileOperationW entry returns when shell32 cannot be bound: no
// code the call itself returns (those are positive), so callers can tell the
// shell's delete is not there to retry.
constexpr int SHELL_DELETE_UNAVAILABLE = -1;
