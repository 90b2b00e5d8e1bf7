// What a long unpack shows while it runs, for a program packed with
// --progress (one line on a console's standard error) or --progress-window
// (a small window, common/progress_window.h). Nothing shows before
// PROGRESS_DELAY_MS, so that a quick start never writes a line or loads
// user32. Main thread only; knows nothing of the payload but two counts.
#pragma once

#include <stdint.h>

enum ProgressStyle {
  PROGRESS_NONE,
  PROGRESS_LINE,    // a console program: a line rewritten in place, when standard error is a console
  PROGRESS_WINDOW,  // a GUI program: a window with the program's icon, product name and a bar
};

// Set from the pack-time settings before anything can fail; off by default.
extern ProgressStyle unpack_progress_style;

// Half a second. An unpack that ends sooner is over before a user wonders
// whether the double-click worked (and clicks again): showing something for
// it would only flash a window or a line. A start of a few MB takes well
// under it even under Wine, so such starts never load user32; a 200 MB one
// (5 to 8 s) shows its progress within the first tenth of the wait.
constexpr uint64_t PROGRESS_DELAY_MS = 500;
// The shown progress changes at most this often and only by whole percents:
// at most 20 updates a second and 100 in all, so neither the writes nor the
// window's painting take time from the unpack. The window's messages are
// taken at the same pace, often enough for it to paint and never be seen as
// hung.
constexpr uint64_t PROGRESS_STEP_MS = 50;

// Starts the clock; the unpack is about to begin.
void begin_unpack_progress();

// The unpack has read done of the payload's total compressed bytes: shows
// or updates the progress when it is due.
void report_unpack_progress(uint64_t done, uint64_t total);

// Erases the line or closes the window, if either is shown; nothing shows
// afterwards. Called before the application starts and before a failure is
// reported.
void end_unpack_progress();

// The run ends from the console handler's thread (Ctrl+C during the unpack):
// the line, if shown, is erased, so that the prompt after it starts on a
// clean line, and the main thread writes no more of it. The window is the
// main thread's and goes with the process.
void abandon_unpack_progress_line();
