// The application entry the launcher calls, for a program that has its own
// main (renamed at compile time to vorbel_app_main, see vorbel_app_main.h):
// arguments in UTF-8, a console that shows UTF-8, main's result returned.
// exit() inside the program ends the process with its status, which the
// extracting launcher passes on like a returned one; nothing here needs to run after main.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "adapter/utf8_arguments.h"

extern "C" int vorbel_app_main(int argc, char** argv);

namespace {

UINT original_output_code_page = 0;

// The console's code page belongs to the console, not to this process: the
// shell that shares it would keep UTF-8 after we end. Put back at process end,
// whether main returned or called exit (atexit runs in both cases).
void restore_output_code_page() {
  fflush(nullptr);
  if (original_output_code_page != 0) SetConsoleOutputCP(original_output_code_page);
}

bool is_console(DWORD which) {
  DWORD mode;
  HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// Programs print UTF-8 bytes; a console shows bytes in its output code page.
// Windows' msvcrt.dll writes a text-mode stream's bytes to the console as they
// are, so this is all UTF-8 output needs there. Wine's msvcrt instead decodes
// text-mode console writes with the ANSI code page, so under Wine the page is
// seen to be set but the characters are not: ensured by construction.
void show_utf8_on_console() {
  if (!is_console(STD_OUTPUT_HANDLE) && !is_console(STD_ERROR_HANDLE)) return;
  UINT current = GetConsoleOutputCP();
  if (current == CP_UTF8 || current == 0) return;
  if (!SetConsoleOutputCP(CP_UTF8)) return;
  original_output_code_page = current;
  atexit(restore_output_code_page);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
  const int count = argc < 0 || argv == nullptr ? 0 : argc;
  char** arguments = utf8_arguments(count, argv);
  if (arguments == nullptr) {
    fputs("out of memory for the arguments\n", stderr);
    return 1;
  }
  show_utf8_on_console();
  return vorbel_app_main(count, arguments);
}
