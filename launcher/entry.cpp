// The program's entry point: hands over to launcher_main. Kept apart so that
// the test programs can link the whole launcher with entry points of their own.
#include "launcher/launcher_main.h"

// Asks the runtime's start-up to expand unquoted * and ? arguments into the
// names of matching files before __wargv is filled.
extern "C" int _dowildcard = -1;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_tail, int show) {
  return launcher_main(instance, previous, command_tail, show);
}
