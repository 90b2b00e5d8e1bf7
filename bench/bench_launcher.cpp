// The bench build of the launcher: as shipped, but each close of an unpacked file sleeps
// VORBEL_BENCH_CLOSE_DELAY_MS first, VORBEL_BENCH_CLOSING_THREADS bounds the closing
// threads (0: serial) and VORBEL_BENCH_NO_FLUSH=1 leaves a cached bundle's files unflushed.
// Built only by `make bench`; the product reads none of these variables.
#include <windows.h>

#include <cstdlib>

#include "common/capacities.h"
#include "common/system_calls.h"
#include "launcher/launcher_main.h"
#include "payload/closing_pool.h"

namespace {

DWORD close_delay_ms;

BOOL WINAPI delayed_close(HANDLE file) {
  Sleep(close_delay_ms);
  return CloseHandle(file);
}

BOOL WINAPI no_flush(HANDLE) { return TRUE; }

unsigned long number_from_env(const wchar_t* name, unsigned long otherwise) {
  wchar_t text[32];
  DWORD length = GetEnvironmentVariableW(name, text, 32);
  return length == 0 || length >= 32 ? otherwise : wcstoul(text, nullptr, 10);
}

}  // namespace

extern "C" {
int _dowildcard = -1;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_tail, int show) {
  close_delay_ms = number_from_env(L"VORBEL_BENCH_CLOSE_DELAY_MS", 0);
  if (close_delay_ms != 0) system_calls.CloseHandle = delayed_close;
  if (number_from_env(L"VORBEL_BENCH_NO_FLUSH", 0) == 1) system_calls.FlushFileBuffers = no_flush;
  closing_threads_limit = static_cast<int>(number_from_env(L"VORBEL_BENCH_CLOSING_THREADS", CLOSING_THREADS_MAX));
  return launcher_main(instance, previous, command_tail, show);
}
