// The Windows behaviours layer: wraps entries of the launcher's system-call
// seam so that, under Wine, the launcher meets what a default Windows 10/11
// shows it (path limits, a scanner holding new files, an elevated token).
// Linked only into the test variant of the launcher and the unit tests, never
// into the shipped launcher. Tested by windows_behaviours_test.cpp.
#pragma once

#include <string>

struct WindowsBehaviours {
  bool path_limits = false;      // plain paths stop at 260 units (248 for a new directory)
  unsigned scanner_hold_ms = 0;  // a file closed after writing stays held this long; 0: no scanner
  bool elevated = false;         // a directory made without an owner belongs to BUILTIN\Administrators
};

// The behaviours the test switches on, and the file through which the run's
// processes share the layer's state (directory owners, held files).
constexpr wchar_t WINDOWS_BEHAVIOURS_VARIABLE[] = L"VORBEL_WINDOWS_BEHAVIOURS";
constexpr wchar_t WINDOWS_BEHAVIOURS_STATE_VARIABLE[] = L"VORBEL_WINDOWS_BEHAVIOURS_STATE";
constexpr unsigned SCANNER_DEFAULT_HOLD_MS = 200;

// "path-limits,scanner=200,elevated" (any of them, in any order; "scanner"
// alone holds SCANNER_DEFAULT_HOLD_MS); false, with the word in *unknown, for
// anything else.
bool parse_windows_behaviours(const std::wstring& text, WindowsBehaviours* behaviours, std::wstring* unknown);

// Swaps the seam's entries for the layer's, which call the entries found
// there. state_file is shared by the run's processes; empty keeps the state
// in this process.
void install_windows_behaviours(const WindowsBehaviours& behaviours, const std::wstring& state_file);

// Puts back the entries found by install and forgets the state.
void uninstall_windows_behaviours();

// install_windows_behaviours from the two variables; false, having said why
// on standard error, when the first names something unknown.
bool install_windows_behaviours_from_environment();
