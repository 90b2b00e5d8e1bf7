// Console control handling and the run's cleanup; see console_cleanup.h.
// Runs on the main thread and on the system's console-event threads at once:
// the child handle changes hands only by an atomic exchange, the directory
// path is complete before any of it runs, and one thread alone takes the end
// of the run. The removal itself is locked_removal.cpp's.
#include "shutdown/console_cleanup.h"

#include <shellapi.h>

#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_gate.h"
#include "common/unpack_progress.h"
#include "shutdown/locked_removal.h"

namespace {

bool directory_present(const wchar_t* path) {
  wchar_t long_form[LONG_PATH_CAPACITY];
  DWORD attributes = system_calls.GetFileAttributesW(long_path_form(path, long_form));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// False when the shell's delete is not there to ask (shell32 cannot be bound).
bool delete_extraction_dir() {
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
  return system_calls.SHFileOperationW(&request) != SHELL_DELETE_UNAVAILABLE;
}

// Ends the child if it outlives grace_ms. False when there was no child to
// stop; otherwise *status is how it ended: its own exit code when it ended in
// time, STATUS_CONTROL_C_EXIT (what Windows reports for a console program
// ended by Ctrl+C) when it had to be ended, so that no killed run reads as a
// success. Taking the handle out first means no other thread can use it after
// it is closed here, and no two threads close it.
bool stop_child(DWORD grace_ms, DWORD* status) {
  HANDLE child = InterlockedExchangePointer(const_cast<HANDLE*>(&child_process), nullptr);
  if (child == nullptr) return false;
  if (system_calls.WaitForSingleObject(child, grace_ms) == WAIT_OBJECT_0) {
    if (!GetExitCodeProcess(child, status)) *status = 1;
  } else {
    system_calls.TerminateProcess(child, STATUS_CONTROL_C_EXIT);
    *status = STATUS_CONTROL_C_EXIT;
  }
  CloseHandle(child);
  return true;
}

// The child ended by itself and the main thread has its status: an event
// that comes while the main thread cleans up finds no child to stop, yet the
// run's status is the child's all the same.
bool ended_child_status(DWORD* status) {
  if (InterlockedCompareExchange(&child_ended, 0, 0) == 0) return false;
  *status = child_end_status;
  return true;
}

// The shell's attempts, for what the walk left. Without the shell's delete
// the walk is all there is: no attempts to wait for.
void delete_with_shell() {
  if (!delete_extraction_dir()) return;
  for (int retry = 0; retry < DELETE_RETRIES; ++retry) {
    if (!directory_present(extraction_dir)) return;
    Sleep(DELETE_PAUSE_MS);
    if (!delete_extraction_dir()) return;
  }
}

void remove_extraction_dir() {
  if (!cleanup_armed) return;
  // The main thread may still be unpacking: it makes nothing more from here
  // on, and every file it opened is closed before the walk lists it.
  unpack_gate_close();
  HANDLE lock = InterlockedExchangePointer(const_cast<HANDLE*>(&directory_lock), nullptr);
  switch (remove_locked_directory(extraction_dir, lock, directory_lock_path, nullptr)) {
    case REMOVAL_DONE:
    // A link put at the directory's path after it was made is neither listed
    // nor handed to the shell: either would empty the directory it leads to.
    case REMOVAL_REFUSED_LINK:
      return;
    case REMOVAL_LEFT_SOME:
    case REMOVAL_STOPPED:
      break;
  }
  // The shell, and the time it takes to load, only for what the walk left.
  if (!directory_present(extraction_dir)) return;
  delete_with_shell();
  // Something outlives the run (a process still holds a file). The shell may
  // have taken the lock with the rest: put back, unheld, it lets a later
  // run's sweep finish the removal once the holder lets go.
  if (lock == nullptr || !directory_present(extraction_dir)) return;
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE again = system_calls.CreateFileW(long_path_form(directory_lock_path, long_form), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (again != INVALID_HANDLE_VALUE) system_calls.CloseHandle(again);
}

// True for the first thread to ask, which then owns the end of the run.
// Another thread that ended the process while the owner removes would cut the
// removal short and, worse, could end it while the owner is inside the loader
// (the shell's delete loads shell32) or the runtime's exit: the process's own
// end then waits for a lock that a thread which no longer runs holds.
bool take_the_end() { return InterlockedCompareExchange(&run_end_taken, 1, 0) == 0; }

// For a thread that did not take the end: the owner ends the process, which
// ends this wait with it. Waiting on this process never returns while it runs;
// should the wait fail, the caller goes on with the status it has, as the
// owner does.
void wait_for_the_end() { system_calls.WaitForSingleObject(GetCurrentProcess(), INFINITE); }

}  // namespace

DWORD child_grace_ms(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? CHILD_GRACE_MS : SYSTEM_END_CHILD_GRACE_MS;
}

BOOL WINAPI console_ctrl_handler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  DWORD status = 0;
  bool stopped = stop_child(child_grace_ms(event), &status) || ended_child_status(&status);
  if (!take_the_end()) {
    wait_for_the_end();
    return FALSE;
  }
  abandon_unpack_progress_line();
  remove_extraction_dir();
  // Ended here, never by the system's default handling, which FALSE would
  // hand the event to: it ends with STATUS_CONTROL_C_EXIT even for a child
  // that ended with its own status, and under Wine with 0.
  system_calls.ExitProcess(stopped ? status : static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  return FALSE;
}

void note_child_end(DWORD status) {
  child_end_status = status;
  InterlockedExchange(&child_ended, TRUE);
}

void cleanup_extraction() {
  if (!take_the_end()) {
    wait_for_the_end();
    return;
  }
  DWORD status = 0;
  stop_child(CHILD_GRACE_MS, &status);
  remove_extraction_dir();
}
