// Console control handling and removal of the extraction directory; see
// console_cleanup.h. Runs on the main thread and on the system's console-event
// threads at once, without locks: the child handle changes hands only by an
// atomic exchange, and the directory path is complete before any of it runs.
#include "shutdown/console_cleanup.h"

#include <shellapi.h>

#include "common/run_state.h"
#include "common/system_calls.h"

namespace {

bool directory_present(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void delete_extraction_dir() {
  static const wchar_t nothing[] = L"";
  // extraction_dir has a unit beyond the longest path the expansion may write
  // there, always NUL, so it is the double-NUL source list as it stands.
  SHFILEOPSTRUCTW request = {};
  request.hwnd = nullptr;
  request.wFunc = FO_DELETE;
  request.pFrom = extraction_dir;
  request.pTo = nothing;
  request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  request.fAnyOperationsAborted = FALSE;
  request.hNameMappings = nullptr;
  request.lpszProgressTitle = nothing;
  system_calls.SHFileOperationW(&request);
}

}  // namespace

BOOL WINAPI console_ctrl_handler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      cleanup_extraction();
      break;
    default:
      break;
  }
  return FALSE;
}

void cleanup_extraction() {
  // Taking the handle out first means no other thread can use it after it is
  // closed here, and no two threads close it.
  HANDLE child = InterlockedExchangePointer(const_cast<HANDLE*>(&child_process), nullptr);
  if (child != nullptr) {
    if (WaitForSingleObject(child, CHILD_GRACE_MS) != WAIT_OBJECT_0) TerminateProcess(child, 0);
    CloseHandle(child);
  }
  if (!cleanup_armed) return;
  delete_extraction_dir();
  for (int retry = 0; retry < DELETE_RETRIES; ++retry) {
    if (!directory_present(extraction_dir)) return;
    Sleep(DELETE_PAUSE_MS);
    delete_extraction_dir();
  }
}
