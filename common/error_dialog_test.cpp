// Tests of the error dialog through the seam (tests/support/dialog_recorder.h):
// the window station's answer is chosen and the boxes asked for are written
// on standard output, so a run's output shows how many boxes were asked for,
// when, and with what text and title.
#include "common/error_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "common/capacities.h"
#include "common/error_report.h"
#include "tests/support/dialog_recorder.h"
#include "tests/support/scenario.h"

namespace {

// __wargv[2]: "on" or "off" for the setting; __wargv[3]: the window station.
void arrange() {
  error_dialog_enabled = wcscmp(__wargv[2], L"on") == 0;
  record_error_dialogs(__wargv[3]);
}

std::string box(const std::string& text) {
  return "box(error, " + std::string(UNIT_TESTS_PRODUCT_NAME) + "): " + text + "|\n";
}

VORBEL_SCENARIO(dialog_after_fatal_error) {
  arrange();
  fatal_error("Error, DLL entry point not found.");
}

VORBEL_SCENARIO(dialog_after_system_errors) {
  arrange();
  report_system_error_about("Error, couldn't create the extraction directory", L"C:\\T\\onefile_1_2", 5);
  printf("reported\n");
  report_system_error("Error, couldn't end the child that was never started", 6);
  end_after_report(2);
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
    std::string line = "Error, DLL entry point not found.\n";
    std::string asked = wcscmp(c.setting, L"on") == 0 ? "station?\n" : "";
    std::string expected = line + asked + (c.box ? box("Error, DLL entry point not found.") : "");
    EXPECT_EQ(result.out, text_mode(expected)) << narrow(c.setting) << " " << narrow(c.station);
    EXPECT_EQ(result.exit_code, 2u);
  }
}

// Both lines in one box at the end, each without the line break the system's
// text ends with (it would leave the ")" on a line alone); the stream keeps
// the text as it always was. Off, not even the station is asked, so user32 is
// never loaded for it.
TEST(ErrorDialog, OneBoxAtTheEndHoldsEveryLineReported) {
  ProcessResult shown = run_scenario("dialog_after_system_errors", {}, {L"on", L"visible"});
  std::string first = "Error, couldn't create the extraction directory 'C:\\T\\onefile_1_2' ([Error 5] ";
  std::string second = "Error, couldn't end the child that was never started ([Error 6] ";
  EXPECT_EQ(shown.err, text_mode(first + system_message(5) + ")\n" + second + system_message(6) + ")\n"));
  EXPECT_EQ(shown.out, text_mode("reported\nstation?\n" + box(first + system_message_in_box(5) + ")\n" + second +
                                                              system_message_in_box(6) + ")")));
  EXPECT_EQ(shown.exit_code, 2u);

  ProcessResult off = run_scenario("dialog_after_system_errors", {}, {L"off", L"visible"});
  EXPECT_EQ(off.out, text_mode("reported\n"));
  EXPECT_EQ(off.err, shown.err);
}

// A path of thousands of units in a line: the box gets the line cut with
// "...", and the cause reported after three such lines still goes first.
VORBEL_SCENARIO(dialog_of_a_long_line) {
  arrange();
  std::wstring path(3 * ERROR_DIALOG_LINE_CAPACITY, L'p');
  for (int i = 0; i < 3; ++i) print_error("Error, failed to open '%ls' for writing.\n", path.c_str());
  print_error_cause("Error, the cause.\n");
  end_after_report(2);
}

TEST(ErrorDialog, ALongLineIsCutAndTheCauseStillGoesFirst) {
  ProcessResult result = run_scenario("dialog_of_a_long_line", {}, {L"on", L"visible"});
  std::string path(3 * ERROR_DIALOG_LINE_CAPACITY, 'p');
  std::string line = "Error, failed to open '" + path + "' for writing.\n";
  EXPECT_EQ(result.err, text_mode(line + line + line + "Error, the cause.\n"));
  std::string cut = ("Error, failed to open '" + path).substr(0, ERROR_DIALOG_LINE_CAPACITY - 5) + "...\n";
  std::string text = "Error, the cause.\n" + cut + cut + cut;
  text.pop_back();
  EXPECT_EQ(result.out, text_mode("station?\n" + box(text)));
  EXPECT_EQ(result.exit_code, 2u);
}

// The title is this program's product name, cut to the room it is given.
TEST(ErrorDialogTitle, IsTheProductNameOfTheVersionResource) {
  wchar_t title[ERROR_DIALOG_TITLE_CAPACITY];
  error_dialog_title(title, ERROR_DIALOG_TITLE_CAPACITY);
  EXPECT_EQ(narrow(title), UNIT_TESTS_PRODUCT_NAME);
  wchar_t short_title[7];
  error_dialog_title(short_title, 7);
  EXPECT_STREQ(short_title, L"Dialog");
}

// The real entries, bound from user32 on first use: Wine's desktop window
// station is the interactive one, as a signed-in user's is on Windows.
TEST(ErrorDialog, TheRealWindowStationOfThisDesktopIsVisible) { EXPECT_TRUE(interactive_window_station()); }

}  // namespace
