// A later start's check of its bundle against a listing of the same tree,
// both timed inside one process, alternating, so that the ratio is the
// check's own cost: the launcher's bundle_is_whole (the record read, every
// file's attributes asked for) against a recursive FindFirstFileExW walk.
//   bench_bundle_check.exe BUNDLE_DIR BUNDLE_ID
#include <windows.h>

#include <string>

#include "bench/bench_report.h"
#include "payload/bundle_directory.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  if (__argc != 3) return 2;
  constexpr int ROUNDS = 5;
  double check = 0;
  double listing = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    for (int half = 0; half < 2; ++half) {
      bool check_first = round % 2 == 0;
      LARGE_INTEGER started = clock_now();
      if ((half == 0) == check_first) {
        if (!bundle_is_whole(__wargv[1], __wargv[2])) return 2;
        check += seconds_since(started);
      } else {
        if (list_tree(__wargv[1]) == 0) return 2;
        listing += seconds_since(started);
      }
    }
  }
  report_line(field("check_s", check / ROUNDS) + field("listing_s", listing / ROUNDS));
  return 0;
}
