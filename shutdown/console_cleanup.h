// Stopping the child and deleting the extraction directory, at the normal
// end and on console control events. Silent and bounded in time; safe when
// several threads run it at once.
#pragma once

#include <windows.h>

// What the child is given to end by itself after Ctrl+C or Ctrl+Break.
constexpr DWORD CHILD_GRACE_MS = 5000;
// After the console window is closed (and at logoff or shutdown) Windows ends
// the process 5000 ms after the event whatever it is doing. The removal of
// the largest measured tree (3,234 files, 87.6 MB) took 1.0 s, 1.2 s at worst,
// under Wine: 2000 ms for the child leaves 3000 ms, two and a half times that.
constexpr DWORD SYSTEM_END_CHILD_GRACE_MS = 2000;
constexpr int DELETE_RETRIES = 20;  // after the first attempt: 21 calls at most
constexpr DWORD DELETE_PAUSE_MS = 100;

// The console control handler of the extracting instance. When it stopped a
// child, or the child had already ended by itself (note_child_end), it ends
// the process with the child's status (STATUS_CONTROL_C_EXIT if the child had
// to be ended); otherwise FALSE, so that the system's default handling ends
// the process.
BOOL WINAPI console_ctrl_handler(DWORD event);

// Called by the main thread with the status of the child that has ended,
// before it takes the child's handle back.
void note_child_end(DWORD status);

// How long the child is given to end by itself after the given event.
DWORD child_grace_ms(DWORD event);

// Stops the child (grace time, then ended with STATUS_CONTROL_C_EXIT), then,
// once armed, stops an unpacking still under way (it makes nothing more, and
// its files are closed first: unpack_gate.h), and removes the extraction
// directory unless a link has taken its place: a direct walk first, its lock
// last; then, only for what it left, the shell's delete request, repeated
// while the directory is there, 21 calls at most; and when even that leaves
// it, its lock put back (unheld) for a later run's sweep.
void cleanup_extraction();
