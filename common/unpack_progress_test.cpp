// The unpack's progress through the seam: the clock decides when it shows
// and how often it steps, the line is read back from the writes to standard
// error, and the window from its creation and the bar's messages.
#include "common/unpack_progress.h"

// windows.h first: commctrl.h uses its types.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on
#include <gtest/gtest.h>

#include <string>

#include "common/system_calls.h"
#include "tests/support/system_call_override.h"

namespace {

ULONGLONG now_ms;
std::string written;  // to standard error
std::string made;     // one line per window or control made, then one per bar position
HWND const FRAME = reinterpret_cast<HWND>(0x1000);
HWND const BAR = reinterpret_cast<HWND>(0x1008);

ULONGLONG WINAPI fake_tick_count() { return now_ms; }
BOOL WINAPI a_console(HANDLE, LPDWORD mode) {
  *mode = ENABLE_PROCESSED_OUTPUT;
  return TRUE;
}
BOOL WINAPI no_console(HANDLE, LPDWORD) { return FALSE; }

BOOL WINAPI record_write(HANDLE file, LPCVOID data, DWORD count, LPDWORD done, LPOVERLAPPED) {
  if (file == GetStdHandle(STD_ERROR_HANDLE)) written.append(static_cast<const char*>(data), count);
  *done = count;
  return TRUE;
}

HWND WINAPI record_window(DWORD, LPCWSTR class_name, LPCWSTR, DWORD style, int, int, int, int, HWND parent, HMENU,
                          HINSTANCE, LPVOID) {
  bool is_bar = !IS_INTRESOURCE(class_name) && wcscmp(class_name, PROGRESS_CLASSW) == 0;
  made += parent == nullptr ? (style & WS_VISIBLE ? "visible frame\n" : "frame\n") : is_bar ? "bar\n" : "";
  return parent == nullptr ? FRAME : is_bar ? BAR : reinterpret_cast<HWND>(0x1010);
}

HWINSTA WINAPI a_station() { return reinterpret_cast<HWINSTA>(0x2000); }
BOOL WINAPI a_visible_station(HANDLE, int, PVOID information, DWORD, LPDWORD) {
  static_cast<USEROBJECTFLAGS*>(information)->dwFlags = WSF_VISIBLE;
  return TRUE;
}

LRESULT WINAPI record_message(HWND window, UINT message, WPARAM wparam, LPARAM) {
  if (window == BAR && message == PBM_SETPOS) made += std::to_string(wparam) + "%\n";
  return 0;
}

struct Report {
  ULONGLONG at;
  uint64_t done;
};

// One unpack of 1000 compressed bytes in style, reported at the times given,
// then ended.
void unpack(ProgressStyle style, std::initializer_list<Report> reports) {
  written.clear();
  made.clear();
  unpack_progress_style = style;
  now_ms = 1'000'000;
  begin_unpack_progress();
  for (const Report& report : reports) {
    now_ms = 1'000'000 + report.at;
    report_unpack_progress(report.done, 1000);
  }
  end_unpack_progress();
  unpack_progress_style = PROGRESS_NONE;
}

// Blanks over "Unpacking... 100%", the widest line.
const std::string ERASED = "\r" + std::string(17, ' ') + "\r";

TEST(UnpackProgress, TheLineShowsAfterTheDelayStepsByTimeAndPercentAndIsErased) {
  SystemCallOverride clock(system_calls.GetTickCount64, fake_tick_count);
  SystemCallOverride console(system_calls.GetConsoleMode, a_console);
  SystemCallOverride writes(system_calls.WriteFile, record_write);

  // Reports at 499 ms are not due; each step after the first waits 50 ms,
  // and one whose percent is unchanged writes nothing.
  unpack(PROGRESS_LINE,
         {{0, 0}, {100, 10}, {499, 50}, {500, 52}, {520, 60}, {550, 61}, {600, 61}, {650, 999}, {700, 1000}});
  EXPECT_EQ(written, "\rUnpacking... 5%\rUnpacking... 6%\rUnpacking... 99%\rUnpacking... 100%" + ERASED);

  // Ended before the delay: nothing written, nothing to erase.
  unpack(PROGRESS_LINE, {{0, 0}, {499, 999}});
  EXPECT_EQ(written, "");
  unpack(PROGRESS_NONE, {{0, 0}, {5000, 500}});
  EXPECT_EQ(written, "");
}

// Ctrl+C during the unpack: the handler's thread erases the line, and the
// main thread, still unpacking, writes none of it again.
TEST(UnpackProgress, ALineAbandonedByTheConsoleHandlerIsErasedAndNeverWrittenAgain) {
  SystemCallOverride clock(system_calls.GetTickCount64, fake_tick_count);
  SystemCallOverride console(system_calls.GetConsoleMode, a_console);
  SystemCallOverride writes(system_calls.WriteFile, record_write);
  written.clear();
  unpack_progress_style = PROGRESS_LINE;
  now_ms = 1'000'000;
  begin_unpack_progress();
  now_ms += 600;
  report_unpack_progress(420, 1000);
  abandon_unpack_progress_line();
  now_ms += 600;
  report_unpack_progress(900, 1000);
  end_unpack_progress();
  unpack_progress_style = PROGRESS_NONE;
  EXPECT_EQ(written, "\rUnpacking... 42%" + ERASED);
}

TEST(UnpackProgress, NoLineWhenStandardErrorIsNoConsole) {
  SystemCallOverride clock(system_calls.GetTickCount64, fake_tick_count);
  SystemCallOverride console(system_calls.GetConsoleMode, no_console);
  SystemCallOverride writes(system_calls.WriteFile, record_write);
  unpack(PROGRESS_LINE, {{0, 0}, {600, 100}, {700, 500}, {5000, 1000}});
  EXPECT_EQ(written, "");
}

TEST(UnpackProgress, TheWindowIsMadeOnlyWhenDueHiddenUntilShownAndItsBarStepsLikeTheLine) {
  SystemCallOverride clock(system_calls.GetTickCount64, fake_tick_count);
  SystemCallOverride station(system_calls.GetProcessWindowStation, a_station);
  SystemCallOverride station_flags(system_calls.GetUserObjectInformationW, a_visible_station);
  SystemCallOverride windows(system_calls.CreateWindowExW, record_window);
  SystemCallOverride messages(system_calls.SendMessageW, record_message);
  SystemCallOverride writes(system_calls.WriteFile, record_write);

  unpack(PROGRESS_WINDOW, {{0, 0}, {300, 100}, {499, 900}});
  EXPECT_EQ(made, "");  // a quick start: no window asked for, user32 not needed

  unpack(PROGRESS_WINDOW, {{0, 0}, {500, 100}, {530, 200}, {560, 200}, {610, 350}, {700, 1000}});
  // Made without WS_VISIBLE, so that its showing is no ShowWindow of the
  // process; the bar starts where the unpack is.
  EXPECT_EQ(made, "frame\nbar\n10%\n20%\n35%\n100%\n");
  EXPECT_EQ(written, "");
}

}  // namespace
