// Stopping the child and deleting the extraction directory, at the normal
// end and on console control events. Silent and bounded in time. The end of a
// run has one owner: the main thread (woken by the child's end) and the
// console-event threads may all reach it at once, and the first takes it,
// decides the status, removes the directory and ends the process; any other
// waits for that end and never ends the process itself.
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

// The console control handler of the extracting instance. For a stop or end
// event it stops the child, then takes the end of the run and ends the
// process: with the child's status when it ended by itself within its grace
// (or before the event: note_child_end), STATUS_CONTROL_C_EXIT when the child
// had to be ended or there was none. When another thread has the end, it
// waits for the process's end. FALSE for other events.
BOOL WINAPI console_ctrl_handler(DWORD event);

// Called by the main thread with the status of the child that has ended,
// before it takes the child's handle back.
void note_child_end(DWORD status);

// How long the child is given to end by itself after the given event.
DWORD child_grace_ms(DWORD event);

// The main thread's end of the run, after the child's end: takes the end of
// the run (when a console-event thread has it, waits for the process's end,
// which that thread brings about, and does not return), then stops the child
// if it is still running (grace time, then ended with STATUS_CONTROL_C_EXIT), then,
// once armed, stops an unpacking still under way (it makes nothing more, and
// its files are closed first: unpack_gate.h), and removes the extraction
// directory unless a link has taken its place: a direct walk first, its lock
// last; then, only for what it left, the shell's delete request, repeated
// while the directory is there, 21 calls at most; and when even that leaves
// it, its lock put back (unheld) for a later run's sweep.
void cleanup_extraction();
