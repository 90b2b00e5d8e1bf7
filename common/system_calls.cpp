// The real entries of the system-call seam (see system_calls.h), and the
// first-use binding of the shell32 and user32 entries.
#include "common/system_calls.h"

#include <aclapi.h>
#include <shellapi.h>
#include <stdlib.h>
#include <zstd.h>

#include "common/nt_security.h"

namespace {

// shell32 stays out of the import table: Wine takes about as long to load it
// as to start a process, and the re-launched instance never calls it. It is
// loaded from System32 only, never from the current or the extraction
// directory, where a planted DLL of that name could lie. Threads may race
// here (the cleanup runs on console-event threads too): each then loads the
// same module and stores the same address, so the binding is idempotent; the
// module is never freed. A failure is not remembered: the next call tries
// again, and the caller sees the call itself fail.
void* bind_system_call(void* volatile* slot, const wchar_t* module_name, const char* name) {
  void* bound = InterlockedCompareExchangePointer(slot, nullptr, nullptr);
  if (bound != nullptr) return bound;
  HMODULE module = LoadLibraryExW(module_name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  bound = reinterpret_cast<void*>(GetProcAddress(module, name));
  if (bound != nullptr) InterlockedExchangePointer(slot, bound);
  return bound;
}

void* bind_shell_call(void* volatile* slot, const char* name) { return bind_system_call(slot, L"shell32.dll", name); }

// user32 likewise: a normal run never needs it, and loading it starts a
// window station connection. Only an error dialog that may be shown, or a
// progress window that is due, binds it.
void* bind_user_call(void* volatile* slot, const char* name) { return bind_system_call(slot, L"user32.dll", name); }

void* volatile bound_folder_path = nullptr;
void* volatile bound_file_operation = nullptr;

HRESULT WINAPI bind_SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
  auto call = reinterpret_cast<decltype(SystemCalls::SHGetFolderPathW)>(
      bind_shell_call(&bound_folder_path, "SHGetFolderPathW"));
  if (call == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  return call(owner, folder, token, flags, path);
}

int WINAPI bind_SHFileOperationW(LPSHFILEOPSTRUCTW operation) {
  auto call = reinterpret_cast<decltype(SystemCalls::SHFileOperationW)>(
      bind_shell_call(&bound_file_operation, "SHFileOperationW"));
  if (call == nullptr) return SHELL_DELETE_UNAVAILABLE;
  return call(operation);
}

void* volatile bound_window_station = nullptr;
void* volatile bound_object_information = nullptr;
void* volatile bound_message_box = nullptr;

HWINSTA WINAPI bind_GetProcessWindowStation() {
  auto call = reinterpret_cast<decltype(SystemCalls::GetProcessWindowStation)>(
      bind_user_call(&bound_window_station, "GetProcessWindowStation"));
  return call == nullptr ? nullptr : call();
}

BOOL WINAPI bind_GetUserObjectInformationW(HANDLE object, int index, PVOID information, DWORD length, LPDWORD needed) {
  auto call = reinterpret_cast<decltype(SystemCalls::GetUserObjectInformationW)>(
      bind_user_call(&bound_object_information, "GetUserObjectInformationW"));
  return call == nullptr ? FALSE : call(object, index, information, length, needed);
}

int WINAPI bind_MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  auto call = reinterpret_cast<decltype(SystemCalls::MessageBoxW)>(bind_user_call(&bound_message_box, "MessageBoxW"));
  return call == nullptr ? 0 : call(owner, text, caption, type);
}

void* volatile bound_create_window = nullptr;
void* volatile bound_send_message = nullptr;

HWND WINAPI bind_CreateWindowExW(DWORD extended_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x,
                                 int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                 LPVOID parameter) {
  auto call =
      reinterpret_cast<decltype(SystemCalls::CreateWindowExW)>(bind_user_call(&bound_create_window, "CreateWindowExW"));
  return call == nullptr ? nullptr
                         : call(extended_style, class_name, window_name, style, x, y, width, height, parent, menu,
                                instance, parameter);
}

LRESULT WINAPI bind_SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto call =
      reinterpret_cast<decltype(SystemCalls::SendMessageW)>(bind_user_call(&bound_send_message, "SendMessageW"));
  return call == nullptr ? 0 : call(window, message, wparam, lparam);
}

}  // namespace

SystemCalls system_calls = {
    SetConsoleCtrlHandler,
    GetTempPathW,
    bind_SHGetFolderPathW,
    WriteFile,
    CreateProcessW,
    GetExitCodeProcess,
    GetCommandLineW,
    GetProcAddress,
    bind_SHFileOperationW,
    FindFirstFileExW,
    FindNextFileW,
    DeleteFileW,
    RemoveDirectoryW,
    malloc,
    ZSTD_createDCtx,
    CreateDirectoryW,
    CreateFileW,
    GetFileAttributesW,
    GetFileInformationByHandleEx,
    read_volume_flags,
    read_handle_security,
    write_handle_dacl,
    WaitForSingleObject,
    DuplicateHandle,
    ExitProcess,
    TerminateProcess,
    bind_GetProcessWindowStation,
    bind_GetUserObjectInformationW,
    bind_MessageBoxW,
    CloseHandle,
    CreateThread,
    MoveFileExW,
    GetFullPathNameW,
    GetFileAttributesExW,
    SetFileAttributesW,
    LoadLibraryExW,
    FlushFileBuffers,
    SetFileTime,
    GetTickCount64,
    GetConsoleMode,
    bind_CreateWindowExW,
    bind_SendMessageW,
};
