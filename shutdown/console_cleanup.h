// Stopping the child and deleting the extraction directory, at the normal
// end and on console control events. Silent and bounded in time; safe when
// several threads run it at once.
#pragma once

#include <windows.h>

constexpr DWORD CHILD_GRACE_MS = 5000;
constexpr int DELETE_RETRIES = 20;  // after the first attempt: 21 calls at most
constexpr DWORD DELETE_PAUSE_MS = 100;

// The console control handler of the extracting instance; always FALSE, so
// the system's default handling then ends the process.
BOOL WINAPI console_ctrl_handler(DWORD event);

// Stops the child (grace time, then terminated), then, once armed, removes
// the extraction directory: a direct walk first, then the shell's delete
// request, repeated while the directory is there, 21 calls at most.
void cleanup_extraction();
