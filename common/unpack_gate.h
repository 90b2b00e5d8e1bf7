// The hand-over between the unpacking on the main thread and a removal begun on a
// console-event thread: once a removal has begun nothing more is made and no file
// of the unpacking is open. One atomic state word; no lock is held across a write.
#pragma once

#include <windows.h>

// Main thread, before it makes the directories and the file of an entry.
// False once a removal has begun or waits: the caller then makes nothing
// more and calls unpack_gate_give_up.
bool unpack_gate_enter();

// Main thread, between the writes of a file: true when a removal waits for
// it, so that a large file does not hold the removal back.
bool unpack_gate_stop_asked();

// Main thread, once the entry's file is written and handed on. Gives up in
// its turn when a removal asked meanwhile.
void unpack_gate_leave();

// Main thread, with no file of the unpacking left open: lets the waiting
// removal go on and waits for the end of the process, which the console
// event's handling brings about once the removal is done.
[[noreturn]] void unpack_gate_give_up();

// A removal, before it touches the directory: waits until the main thread
// has let go of its entry (one write at most, or one close), shuts the gate
// for good, then runs drain_unpacked_files, so that the removal meets no file
// of the unpacking still open and nothing is made behind it.
void unpack_gate_close();

// Set by the unpacking before it hands its first file on to be closed; waits
// until every handed-on file is closed. Read only after the gate is shut, when
// no file can be handed on any more.
extern void (*volatile drain_unpacked_files)();

// Opens the gate again, as at process start. The launcher never needs it;
// tests that unpack after a removal in one process do.
void unpack_gate_reopen();
