/* An empty GUI program that imports what the launcher imports from Windows
 * (KERNEL32, msvcrt, ntdll) and does nothing: the modules it loads are what
 * each launcher instance may load (tests/check_module_count.py). */
#include <windows.h>
#include <stdlib.h>

__declspec(dllimport) ULONG NTAPI RtlNtStatusToDosError(LONG status);

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_tail, int show) {
  (void)instance, (void)previous, (void)command_tail, (void)show;
  return (int)RtlNtStatusToDosError(0) + atoi("0");
}
