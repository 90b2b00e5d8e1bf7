// The real entries of the system-call seam (see system_calls.h), and the
// first-use binding of the two shell32 entries.
#include "common/system_calls.h"

#include <aclapi.h>
#include <shellapi.h>
#include <stdlib.h>
#include <zstd.h>

namespace {

// shell32 stays out of the import table: Wine takes about as long to load it
// as to start a process, and the re-launched instance never calls it. It is
// loaded from System32 only, never from the current or the extraction
// directory, where a planted DLL of that name could lie. Threads may race
// here (the cleanup runs on console-event threads too): each then loads the
// same module and stores the same address, so the binding is idempotent; the
// module is never freed. A failure is not remembered: the next call tries
// again, and the caller sees the call itself fail.
void* bind_shell_call(void* volatile* slot, const char* name) {
  void* bound = InterlockedCompareExchangePointer(slot, nullptr, nullptr);
  if (bound != nullptr) return bound;
  HMODULE shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (shell == nullptr) return nullptr;
  bound = reinterpret_cast<void*>(GetProcAddress(shell, name));
  if (bound != nullptr) InterlockedExchangePointer(slot, bound);
  return bound;
}

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
    GetFileInformationByHandle,
    GetSecurityInfo,
    SetSecurityInfo,
    WaitForSingleObject,
    DuplicateHandle,
    ExitProcess,
    CloseHandle,
    CreateThread,
};
