// Making and opening the extraction directory's lock; see directory_lock.h.
// A process that ends, however it ends, loses its handle: a lock that opens
// for deletion means that no process uses the directory. No delete-on-close:
// a holder killed during the sweep's removal must leave the lock behind.
#include "payload/directory_lock.h"

#include <stdlib.h>
#include <windows.h>

#include "common/bounded_text.h"
#include "common/error_report.h"
#include "common/launcher_names.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"

namespace {

// Every holder reads and shares reading only: an open for deletion (the
// sweep's, a delete, the shell's) then fails with ERROR_SHARING_VIOLATION
// while any holder lives. Reading is data access, which share modes govern;
// attribute access alone would conflict with nothing.
HANDLE open_lock(DWORD disposition, DWORD access) {
  TextCursor path = text_start(directory_lock_path, PATH_CAPACITY);
  text_append(&path, extraction_dir);
  text_append_unit(&path, L'\\');
  text_append(&path, as_wide(DIRECTORY_LOCK_NAME));
  wchar_t long_form[LONG_PATH_CAPACITY];
  return system_calls.CreateFileW(long_path_form(directory_lock_path, long_form), access, FILE_SHARE_READ, nullptr,
                                  disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void hold_lock(DWORD disposition) {
  HANDLE lock = open_lock(disposition, GENERIC_READ);
  if (lock == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    report_system_error_about("Error, couldn't lock the extraction directory", directory_lock_path, error);
    end_after_report(2);
  }
  InterlockedExchangePointer(const_cast<HANDLE*>(&directory_lock), lock);
}

}  // namespace

// A directory found at the path (the user's own) may hold a lock already.
void lock_extraction_dir() { hold_lock(OPEN_ALWAYS); }

void join_extraction_dir_lock() { hold_lock(OPEN_EXISTING); }

// The right to set its times is no data access: it takes no part in the
// share check, and other holders and the sweep's exclusive open see the lock
// as before.
bool try_hold_extraction_dir_lock() {
  HANDLE lock = open_lock(OPEN_ALWAYS, GENERIC_READ | FILE_WRITE_ATTRIBUTES);
  if (lock == INVALID_HANDLE_VALUE) return false;
  InterlockedExchangePointer(const_cast<HANDLE*>(&directory_lock), lock);
  return true;
}

void stamp_extraction_dir_lock(bool damaged) {
  HANDLE lock = directory_lock;
  if (lock == nullptr) return;
  FILETIME time;
  if (damaged) {
    time.dwLowDateTime = static_cast<DWORD>(BUNDLE_DAMAGED_USE_TIME);
    time.dwHighDateTime = static_cast<DWORD>(BUNDLE_DAMAGED_USE_TIME >> 32);
  } else {
    // Read from the shared page the system keeps: no system call.
    GetSystemTimeAsFileTime(&time);
  }
  system_calls.SetFileTime(lock, nullptr, nullptr, &time);
}

void release_extraction_dir_lock() {
  HANDLE lock = InterlockedExchangePointer(const_cast<HANDLE*>(&directory_lock), nullptr);
  if (lock != nullptr) system_calls.CloseHandle(lock);
}
