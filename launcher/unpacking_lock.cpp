// The first start's unpacking lock; see unpacking_lock.h.
#include "launcher/unpacking_lock.h"

#include <stdint.h>

#include "common/bounded_text.h"
#include "common/capacities.h"
#include "common/long_path.h"
#include "common/system_calls.h"
#include "common/unpack_progress.h"
#include "payload/unpack_payload.h"

namespace {

// "<id>.unpacking" in the application folder, held by the first start that
// unpacks the bundle, from before it looks for a bundle again until its own
// is placed and locked. No sharing but reading: another first start cannot
// hold it meanwhile, and reads the holder's progress from it. Deleted on
// close, so that a holder killed at any point leaves nothing held or behind.
// A file, never a directory: the sweep and the adoption of working
// directories look at directories only.
const wchar_t UNPACKING_LOCK_SUFFIX[] = L".unpacking";
wchar_t unpacking_lock_path[PATH_CAPACITY];
HANDLE unpacking_lock = INVALID_HANDLE_VALUE;

// A first start waits for another at most this long, then unpacks itself as
// if it were alone. 200 MB took 5.2 s alone under Wine and 8.4 s beside
// another start: 30 s is three to six times that, room for a slow disk or a
// scanner reading every file, while a first start that hangs (stopped in a
// debugger, its disk gone) costs the next one no more than the wait. A holder
// that ends, however it ends, frees the lock at once: the wait is over then.
constexpr ULONGLONG FIRST_START_WAIT_MS = 30000;
// Often enough to follow the holder within a frame, and to take the progress
// window's messages well inside its step.
constexpr DWORD FIRST_START_POLL_MS = 25;

enum UnpackingLock {
  LOCK_TAKEN,
  LOCK_HELD,      // by another first start
  LOCK_UNUSABLE,  // the start goes on without it, as if alone
};

UnpackingLock take_unpacking_lock() {
  wchar_t long_form[LONG_PATH_CAPACITY];
  const wchar_t* path = long_path_form(unpacking_lock_path, long_form);
  HANDLE lock =
      system_calls.CreateFileW(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (lock != INVALID_HANDLE_VALUE) {
    unpacking_lock = lock;
    return LOCK_TAKEN;
  }
  DWORD error = GetLastError();
  if (error == ERROR_SHARING_VIOLATION) return LOCK_HELD;
  // A file whose holder has closed it while a reader of the progress still
  // has it open is refused until the reader closes it, its deletion pending
  // (on Windows its attributes cannot be read then either): free in a
  // moment. A directory or a read-only file at the name stays in the way.
  if (error != ERROR_ACCESS_DENIED) return LOCK_UNUSABLE;
  DWORD attributes = system_calls.GetFileAttributesW(path);
  bool in_the_way =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0;
  return in_the_way ? LOCK_UNUSABLE : LOCK_HELD;
}

// The holder's progress, as its unpack reports it, written into the lock for
// the starts that wait: the payload's read and total bytes, at the progress's
// own pace. Only when the progress is shown at all (the waiting starts are
// the same program, and show it likewise).
struct SharedProgress {
  uint64_t done;
  uint64_t total;
};
void (*own_progress_hook)(uint64_t done, uint64_t total);
ULONGLONG progress_shared_at;

void share_progress(uint64_t done, uint64_t total) {
  own_progress_hook(done, total);
  ULONGLONG now = system_calls.GetTickCount64();
  if (now - progress_shared_at < PROGRESS_STEP_MS) return;
  progress_shared_at = now;
  SharedProgress progress = {done, total};
  DWORD written = 0;
  // A failed write costs the waiting starts their bar, nothing else.
  if (SetFilePointer(unpacking_lock, 0, nullptr, FILE_BEGIN) == 0) {
    system_calls.WriteFile(unpacking_lock, &progress, sizeof progress, &written, nullptr);
  }
}

// What the holder last wrote; 0 of 1 before it has written anything.
SharedProgress read_shared_progress() {
  SharedProgress progress = {0, 1};
  wchar_t long_form[LONG_PATH_CAPACITY];
  HANDLE lock = system_calls.CreateFileW(long_path_form(unpacking_lock_path, long_form), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (lock == INVALID_HANDLE_VALUE) return progress;
  SharedProgress read = {};
  DWORD length = 0;
  if (ReadFile(lock, &read, sizeof read, &length, nullptr) && length == sizeof read && read.total != 0) {
    progress = read;
  }
  system_calls.CloseHandle(lock);
  return progress;
}

// This start's turn to unpack: the lock taken, or given up on (unusable, or
// held past the bound). The progress shows the holder's unpack meanwhile, and
// the window keeps taking its messages.
}  // namespace

void wait_for_turn_to_unpack(const wchar_t* application_dir, const wchar_t* bundle_id) {
  TextCursor path = text_start(unpacking_lock_path, PATH_CAPACITY);
  if (!text_try_join_path(&path, application_dir, bundle_id) ||
      !text_try_append(&path, UNPACKING_LOCK_SUFFIX)) {
    return;
  }
  const ULONGLONG began = system_calls.GetTickCount64();
  while (take_unpacking_lock() == LOCK_HELD && system_calls.GetTickCount64() - began < FIRST_START_WAIT_MS) {
    if (unpack_progress_hook != nullptr) {
      SharedProgress progress = read_shared_progress();
      unpack_progress_hook(progress.done, progress.total);
    }
    Sleep(FIRST_START_POLL_MS);
  }
}


void release_unpacking_lock() {
  if (unpacking_lock == INVALID_HANDLE_VALUE) return;
  system_calls.CloseHandle(unpacking_lock);
  unpacking_lock = INVALID_HANDLE_VALUE;
}

void begin_sharing_progress() {
  own_progress_hook = unpack_progress_hook;
  if (own_progress_hook != nullptr && unpacking_lock != INVALID_HANDLE_VALUE) {
    progress_shared_at = 0;
    unpack_progress_hook = share_progress;
  }
}

void end_sharing_progress() { unpack_progress_hook = own_progress_hook; }
