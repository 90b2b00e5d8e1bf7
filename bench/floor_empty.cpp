// The start floor: a GUI-subsystem program that does nothing, so that its
// wall time is what starting and ending a process costs (under Wine, a round
// of the Wine server and the loader). The other floors are net of it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  return 0;
}
