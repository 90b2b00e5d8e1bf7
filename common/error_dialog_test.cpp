// Tests of the error dialog through the seam: the window station's answer is
// chosen, and each box asked for is written out as "box: TEXT", so the run's
// output shows whether, when and with what text one was asked for. Wine's own
// window station is visible, and a real box would wait for a click.
#include "common/error_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "common/error_report.h"
#include "common/system_calls.h"
#include "tests/support/scenario.h"

namespace {

DWORD station_flags = 0;
bool station_readable = true;
int station_queries = 0;

HWINSTA WINAPI fake_station() {
  ++station_queries;
  return reinterpret_cast<HWINSTA>(static_cast<uintptr_t>(0x5a));
}

BOOL WINAPI fake_station_information(HANDLE, int index, PVOID information, DWORD length, LPDWORD) {
  if (!station_readable || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS)) return FALSE;
  static_cast<USEROBJECTFLAGS*>(information)->dwFlags = station_flags;
  return TRUE;
}

int WINAPI recording_box(HWND, LPCWSTR text, LPCWSTR, UINT type) {
  // On standard output after the launcher's own line, as a user would see them.
  printf("box(%s): %ls|\n", (type & MB_ICONERROR) != 0 ? "error" : "other", text);
  fflush(stdout);
  return IDOK;
}

// __wargv[2]: "on" or "off" for the setting; __wargv[3]: "visible", "hidden"
// or "unreadable" for the window station.
void arrange() {
  error_dialog_enabled = wcscmp(__wargv[2], L"on") == 0;
  station_flags = wcscmp(__wargv[3], L"visible") == 0 ? WSF_VISIBLE : 0;
  station_readable = wcscmp(__wargv[3], L"unreadable") != 0;
  system_calls.GetProcessWindowStation = fake_station;
  system_calls.GetUserObjectInformationW = fake_station_information;
  system_calls.MessageBoxW = recording_box;
}

VORBEL_SCENARIO(dialog_after_fatal_error) {
  arrange();
  fatal_error("Error, DLL entry point not found.");
}

VORBEL_SCENARIO(dialog_after_system_error) {
  arrange();
  report_system_error_about("Error, couldn't create the extraction directory", L"C:\\T\\onefile_1_2", 5);
  printf("station queries: %d\n", station_queries);
  exit(2);
}

TEST(ErrorDialog, IsAskedForOnlyWhenWantedAndTheWindowStationIsVisible) {
  struct Case {
    const wchar_t* setting;
    const wchar_t* station;
    bool box;
  };
  const Case cases[] = {
      {L"on", L"visible", true},
      {L"on", L"hidden", false},      // a service's or a scheduled task's station
      {L"on", L"unreadable", false},  // what cannot be told is taken for unseen
      {L"off", L"visible", false},
  };
  for (const Case& c : cases) {
    ProcessResult result = run_scenario("dialog_after_fatal_error", {}, {c.setting, c.station});
    std::string line = text_mode("Error, DLL entry point not found.\n");
    std::string expected = c.box ? line + text_mode("box(error): Error, DLL entry point not found.|\n") : line;
    EXPECT_EQ(result.out, expected) << narrow(c.setting) << " " << narrow(c.station);
    EXPECT_EQ(result.exit_code, 2u);
  }
}

TEST(ErrorDialog, ShowsTheWrittenTextAndLeavesTheStationAloneWhenOff) {
  ProcessResult shown = run_scenario("dialog_after_system_error", {}, {L"on", L"visible"});
  std::string written =
      "Error, couldn't create the extraction directory 'C:\\T\\onefile_1_2' ([Error 5] " + system_message(5) + ")\n";
  EXPECT_EQ(shown.err, text_mode(written));
  EXPECT_EQ(shown.out, text_mode("box(error): " + written + "|\nstation queries: 1\n"));

  // Off: not even the station is asked, so user32 is never loaded for it.
  ProcessResult off = run_scenario("dialog_after_system_error", {}, {L"off", L"visible"});
  EXPECT_EQ(off.out, text_mode("station queries: 0\n"));
}

}  // namespace

namespace {

// The real entries, bound from user32 on first use: Wine's desktop window
// station is the interactive one, as a signed-in user's is on Windows.
TEST(ErrorDialog, TheRealWindowStationOfThisDesktopIsVisible) {
  EXPECT_TRUE(interactive_window_station());
}

}  // namespace
