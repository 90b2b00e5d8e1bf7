// The launcher's entry routine: the run sequence of both roles.
#pragma once

#include <windows.h>

// In the shape of the wide GUI entry point; the four arguments are ignored:
// the arguments come from the runtime's __argc and __wargv (wildcards
// expanded), or, packed with exact arguments, from the command line itself
// (GetCommandLineW, split by CommandLineToArgvW's rules).
int WINAPI launcher_main(HINSTANCE instance, HINSTANCE previous, LPWSTR command_tail, int show);

// Steps 1 to 4 of the sequence: true for the re-launched role. In the
// extracting role VORBEL_ONEFILE_PARENT holds this process's id afterwards.
bool decide_role();

// The user's home directory ({HOME}) into home (PATH_CAPACITY units), where
// a climb up from a missing directory stops; one that cannot be found is a
// spec error.
void find_home_directory(wchar_t* home);
