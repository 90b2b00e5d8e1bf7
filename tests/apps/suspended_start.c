/* Starts a program suspended, so that a test can change the disk between the
 * moment its process id is known and its first instruction, then resumes it.
 *   suspended_start.exe PROGRAM.exe START_STAMP
 * Sets VORBEL_ONEFILE_START to START_STAMP for the program (so its
 * extraction directory is known in advance), prints "pid=ID temp=TEMPDIR",
 * waits for a line on standard input, resumes the program, waits for it and
 * prints "exit=CODE" with all 32 bits of its exit code. */
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  STARTUPINFOW startup;
  PROCESS_INFORMATION child;
  wchar_t temp[MAX_PATH + 1];
  wchar_t command_line[2 * MAX_PATH];
  char line[16];
  DWORD code = 0;
  if (argc != 3) return 64;
  SetEnvironmentVariableW(L"VORBEL_ONEFILE_START", argv[2]);
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  _snwprintf(command_line, 2 * MAX_PATH, L"\"%ls\"", argv[1]);
  command_line[2 * MAX_PATH - 1] = L'\0';
  if (!CreateProcessW(argv[1], command_line, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &startup, &child)) {
    printf("cannot start: %lu\n", GetLastError());
    return 65;
  }
  if (GetTempPathW(MAX_PATH + 1, temp) == 0) temp[0] = L'\0';
  printf("pid=%lu temp=%ls\n", child.dwProcessId, temp);
  fflush(stdout);
  if (fgets(line, sizeof line, stdin) == NULL) TerminateProcess(child.hProcess, 66);
  ResumeThread(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &code);
  printf("exit=%lu\n", code);
  fflush(stdout);
  return 0;
}
