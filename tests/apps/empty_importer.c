/* An empty GUI program that imports what the launcher imports from Windows
 * (KERNEL32, msvcrt, ADVAPI32) and does nothing: the modules it loads are what
 * each launcher instance may load (tests/check_module_count.py). */
#include <windows.h>
#include <stdlib.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_tail, int show) {
  HANDLE token = NULL;
  (void)instance, (void)previous, (void)command_tail, (void)show;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) CloseHandle(token);
  return atoi("0");
}
