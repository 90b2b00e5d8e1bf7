// The error dialog's seam entries replaced for a scenario: the window station
// says what the case chooses, and each box asked for is written on standard
// output after the launcher's own lines, as a user would meet them, instead
// of being shown (Wine's station is visible, and a real box waits for a click).
#pragma once

#include <windows.h>

#include <string>

// What the unit test program's version resource (unit_tests_version.rc)
// gives as its product name: the title every recorded box must carry.
constexpr char UNIT_TESTS_PRODUCT_NAME[] = "Dialog Test Product";

// station: L"visible", L"hidden" or L"unreadable". A box is written as
// "box(error|other, TITLE): TEXT|" and each question to the station as
// "station?", so the output shows whether, when and what was asked.
void record_error_dialogs(const wchar_t* station);

// The system's text for code as a box shows it: without the line break it ends with.
std::string system_message_in_box(DWORD code);
