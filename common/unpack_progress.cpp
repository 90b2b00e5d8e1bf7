// The unpack's progress; see unpack_progress.h. The line goes straight to
// standard error's handle: the C runtime's stream is the application's (in
// the cached mode the same process), and nothing of it may stay buffered.
#include "common/unpack_progress.h"

#include <windows.h>

#include "common/progress_window.h"
#include "common/system_calls.h"

ProgressStyle unpack_progress_style = PROGRESS_NONE;

namespace {

enum ProgressState {
  PROGRESS_WAITING,  // before the delay: nothing shown
  PROGRESS_SHOWN,
  PROGRESS_OVER,  // ended, or nowhere to show it: nothing more is shown
};

ProgressState state = PROGRESS_OVER;
// The console handler's thread erases the line while the main thread may be
// writing it: a write and the erase never interleave, and no write lands
// after the erase.
SRWLOCK line_lock = SRWLOCK_INIT;
uint64_t started_at;
uint64_t stepped_at;
unsigned shown_percent;

// "\rUnpacking... 100%", the widest line; rewritten from its start each time.
const char LINE_TEXT[] = "\rUnpacking... ";
char line[sizeof LINE_TEXT + 8];

void write_to_console(const char* text, DWORD length) {
  DWORD written = 0;
  // A failed write is no reason to stop the run: the line is only a courtesy.
  system_calls.WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, length, &written, nullptr);
}

void write_line_unlocked(unsigned percent) {
  DWORD length = sizeof LINE_TEXT - 1;
  for (DWORD i = 0; i < length; ++i) line[i] = LINE_TEXT[i];
  if (percent >= 100) line[length++] = '1';
  if (percent >= 10) line[length++] = static_cast<char>('0' + percent / 10 % 10);
  line[length++] = static_cast<char>('0' + percent % 10);
  line[length++] = '%';
  write_to_console(line, length);
}

void write_line(unsigned percent) {
  AcquireSRWLockExclusive(&line_lock);
  if (state != PROGRESS_OVER) write_line_unlocked(percent);
  ReleaseSRWLockExclusive(&line_lock);
}

// Blanks over the widest line, and back to its start for what comes next.
void erase_line() {
  DWORD length = 0;
  line[length++] = '\r';
  while (length < sizeof LINE_TEXT - 1 + 4) line[length++] = ' ';
  line[length++] = '\r';
  write_to_console(line, length);
}

unsigned percent_of(uint64_t done, uint64_t total) {
  if (total == 0 || done >= total) return 100;
  // done < total, so done * 100 cannot overflow for any payload Windows loads.
  return static_cast<unsigned>(done * 100 / total);
}

bool show(unsigned percent) {
  if (unpack_progress_style == PROGRESS_WINDOW) return open_progress_window(percent);
  DWORD mode = 0;
  // Redirected to a file or a pipe: a line rewritten in place would only
  // leave carriage returns in it.
  if (!system_calls.GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) return false;
  write_line(percent);
  return true;
}

}  // namespace

void begin_unpack_progress() {
  state = unpack_progress_style == PROGRESS_NONE ? PROGRESS_OVER : PROGRESS_WAITING;
  if (state == PROGRESS_WAITING) started_at = system_calls.GetTickCount64();
}

void report_unpack_progress(uint64_t done, uint64_t total) {
  if (state == PROGRESS_OVER) return;
  uint64_t now = system_calls.GetTickCount64();
  if (state == PROGRESS_WAITING) {
    if (now - started_at < PROGRESS_DELAY_MS) return;
    shown_percent = percent_of(done, total);
    stepped_at = now;
    state = show(shown_percent) ? PROGRESS_SHOWN : PROGRESS_OVER;
    return;
  }
  if (now - stepped_at < PROGRESS_STEP_MS) return;
  stepped_at = now;
  unsigned percent = percent_of(done, total);
  if (unpack_progress_style == PROGRESS_WINDOW) {
    step_progress_window(percent);
  } else if (percent != shown_percent) {
    write_line(percent);
  }
  shown_percent = percent;
}

void end_unpack_progress() {
  ProgressState was = state;
  state = PROGRESS_OVER;
  if (was != PROGRESS_SHOWN) return;
  if (unpack_progress_style == PROGRESS_WINDOW) {
    close_progress_window();
  } else {
    AcquireSRWLockExclusive(&line_lock);
    erase_line();
    ReleaseSRWLockExclusive(&line_lock);
  }
}

void abandon_unpack_progress_line() {
  if (unpack_progress_style != PROGRESS_LINE) return;
  AcquireSRWLockExclusive(&line_lock);
  ProgressState was = state;
  state = PROGRESS_OVER;
  if (was == PROGRESS_SHOWN) erase_line();
  ReleaseSRWLockExclusive(&line_lock);
}
