// The test variant of the launcher: the shipped launcher's code with the
// Windows behaviours layer over its system-call seam, switched on by
// VORBEL_WINDOWS_BEHAVIOURS (see windows_behaviours.h). Built for the tests
// only; the shipped launcher reads neither variable.
#include <windows.h>

#include "launcher/launcher_main.h"
#include "tests/behaviours/windows_behaviours.h"

extern "C" {
int _dowildcard = -1;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_tail, int show) {
  // A word the layer does not know would run the case without what it asks for.
  if (!install_windows_behaviours_from_environment()) return 3;
  return launcher_main(instance, previous, command_tail, show);
}
