/* The application of the example project: an ordinary program with its own
 * main, made an application DLL by vorbel::adapter. It prints the greeting
 * packed beside it, the text of helper.dll (loaded from beside it, not linked)
 * and its arguments, and exits with the status in argument 1. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static wchar_t module_path[32768];

/* The packed files lie beside the DLL, in the extraction directory: module_path
 * becomes the path of the one named. */
static int beside_this_dll(const wchar_t* name) {
  HMODULE self;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          (LPCWSTR)&beside_this_dll, &self))
    return 0;
  DWORD length = GetModuleFileNameW(self, module_path, 32768);
  if (length == 0 || length >= 32768 - 16) return 0;
  wchar_t* slash = wcsrchr(module_path, L'\\');
  if (slash == NULL) return 0;
  wcscpy(slash + 1, name);
  return 1;
}

static int print_greeting(void) {
  if (!beside_this_dll(L"greeting.txt")) return 0;
  FILE* greeting = _wfopen(module_path, L"rb");
  if (greeting == NULL) return 0;
  char line[256];
  while (fgets(line, sizeof line, greeting) != NULL) fputs(line, stdout);
  fclose(greeting);
  return 1;
}

static int print_helper_text(void) {
  if (!beside_this_dll(L"helper.dll")) return 0;
  HMODULE helper = LoadLibraryW(module_path);
  if (helper == NULL) return 0;
  const char* (*helper_text)(void) = (const char* (*)(void))(void*)GetProcAddress(helper, "helper_text");
  if (helper_text == NULL) return 0;
  puts(helper_text());
  return 1;
}

int main(int argc, char** argv) {
  if (!print_greeting()) {
    fputs("greeting.txt is missing\n", stderr);
    return 1;
  }
  if (!print_helper_text()) {
    fputs("helper.dll is missing\n", stderr);
    return 1;
  }
  for (int i = 1; i < argc; ++i) printf("argument %d: %s\n", i, argv[i]);
  return argc > 1 ? atoi(argv[1]) : 0;
}
