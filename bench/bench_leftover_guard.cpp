// What the directory lock and the sweep of leftovers add to a run's own path,
// timed inside one process: the launcher's calls, in a fresh directory of
// the extraction form under this run's TEMP, against the same directory's
// removal without them, alternating. A whole run is seconds of mostly noise;
// this is its few file calls alone, which the benchmark sets beside the
// whole run's figure.
//   bench_leftover_guard.exe ROUNDS
// Guarded, as a run makes them: the extracting instance's lock (before the
// first entry), the re-launched instance's open of it, the look for
// leftovers beside the directory (and its thread, when there are any), the
// wait for that sweep, the child's end releasing its handle, and the removal
// that passes over the lock and then deletes it. Unguarded: the removal alone.
#include <windows.h>

#include "bench/bench_report.h"
#include "common/launcher_names.h"
#include "common/run_state.h"
#include "paths/path_spec.h"
#include "payload/directory_lock.h"
#include "shutdown/leftover_sweep.h"
#include "shutdown/locked_removal.h"

namespace {

HANDLE take_lock() { return InterlockedExchangePointer(const_cast<HANDLE*>(&directory_lock), nullptr); }

double guarded_round(const SweepForm* form) {
  LARGE_INTEGER started = clock_now();
  lock_extraction_dir();
  HANDLE parent_lock = take_lock();
  join_extraction_dir_lock();
  HANDLE child_lock = take_lock();
  start_leftover_sweep(form);
  limit_leftover_sweep();
  finish_leftover_sweep();
  CloseHandle(child_lock);
  LockedRemoval removed = remove_locked_directory(extraction_dir, parent_lock, directory_lock_path, nullptr);
  double seconds = seconds_since(started);
  return removed == REMOVAL_DONE ? seconds : -1;
}

double unguarded_round() {
  LARGE_INTEGER started = clock_now();
  LockedRemoval removed = remove_locked_directory(extraction_dir, nullptr, directory_lock_path, nullptr);
  double seconds = seconds_since(started);
  return removed == REMOVAL_DONE ? seconds : -1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  if (__argc != 2) return 2;
  int rounds = _wtoi(__wargv[1]);
  if (rounds <= 0) return 2;
  if (!expand_path_spec(extraction_dir, as_wide(EXTRACTION_DIR_SPEC), PATH_CAPACITY)) return 2;
  const SweepForm form = {as_wide(EXTRACTION_DIR_SPEC), as_wide(DIRECTORY_LOCK_NAME), false};
  double guarded = 0;
  double unguarded = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int half = 0; half < 2; ++half) {
      // Made before the clock starts in both halves: the run makes it either way.
      if (!CreateDirectoryW(extraction_dir, nullptr)) return 2;
      bool guarded_half = (half == 0) == (round % 2 == 0);
      double seconds = guarded_half ? guarded_round(&form) : unguarded_round();
      if (seconds < 0) return 2;
      (guarded_half ? guarded : unguarded) += seconds;
    }
  }
  report_line(field("guarded_s", guarded / rounds) + field("unguarded_s", unguarded / rounds));
  return 0;
}
