/* A console program with its own main, made an application DLL through the
 * adapter: it reports its arguments and standard handles, then ends as told
 * ("exit N" calls exit, "return N" returns from main, "sleep N" waits N seconds
 * for a console event first; "sleep N ignore" ignores Ctrl+C meanwhile,
 * "sleep N S" ends with status S on Ctrl+C; "sleep N S F" also makes file F
 * as its handler starts, which tells the stress run a Ctrl+C that never came
 * from an end that did not follow), for the console tests. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static const char* handle_kind(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  DWORD mode;
  if (handle == NULL || handle == INVALID_HANDLE_VALUE) return "none";
  if (GetConsoleMode(handle, &mode)) return "console";
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      return "file";
    case FILE_TYPE_PIPE:
      return "pipe";
    case FILE_TYPE_CHAR:
      return "char";
    default:
      return "unknown";
  }
}

static UINT ctrl_c_status;
static const char* handler_stamp;

static BOOL WINAPI end_with_own_status(DWORD event) {
  (void)event;
  if (handler_stamp != NULL) {
    HANDLE stamp = CreateFileA(handler_stamp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (stamp != INVALID_HANDLE_VALUE) CloseHandle(stamp);
  }
  ExitProcess(ctrl_c_status);
  return TRUE;
}

int main(int argc, char** argv) {
  int i;
  printf("argc=%d\n", argc);
  for (i = 1; i < argc; ++i) printf("argv[%d]=%s\n", i, argv[i]);
  printf("stdin=%s stdout=%s stderr=%s\n", handle_kind(STD_INPUT_HANDLE), handle_kind(STD_OUTPUT_HANDLE),
         handle_kind(STD_ERROR_HANDLE));
  if (strcmp(handle_kind(STD_OUTPUT_HANDLE), "console") == 0) printf("output code page=%u\n", GetConsoleOutputCP());
  fflush(stdout);
  if (argc >= 3 && strcmp(argv[1], "exit") == 0) exit(atoi(argv[2]));
  if (argc >= 3 && strcmp(argv[1], "return") == 0) return atoi(argv[2]);
  if (argc >= 3 && strcmp(argv[1], "sleep") == 0) {
    if (argc >= 4 && strcmp(argv[3], "ignore") == 0) {
      SetConsoleCtrlHandler(NULL, TRUE);
    } else if (argc >= 4) {
      ctrl_c_status = (UINT)atoi(argv[3]);
      if (argc >= 5) handler_stamp = argv[4];
      SetConsoleCtrlHandler(end_with_own_status, TRUE);
    }
    puts("sleeping");
    fflush(stdout);
    Sleep(1000u * (unsigned)atoi(argv[2]));
    puts("woke");
  }
  return 0;
}
