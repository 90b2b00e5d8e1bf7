// The launcher's own removal, alone: cleanup_extraction on a tree that
// floor_unpack wrote, timed inside the process, against floor_remove.
//   bench_cleanup.exe DIR
#include <windows.h>

#include "bench/bench_report.h"
#include "common/bounded_text.h"
#include "common/run_state.h"
#include "shutdown/console_cleanup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  if (__argc != 2) return 2;
  copy_wide(extraction_dir, PATH_CAPACITY, __wargv[1]);
  InterlockedExchange(&cleanup_armed, TRUE);
  LARGE_INTEGER started = clock_now();
  cleanup_extraction();
  report_line(field("remove_s", seconds_since(started)));
  return GetFileAttributesW(__wargv[1]) == INVALID_FILE_ATTRIBUTES ? 0 : 1;
}
