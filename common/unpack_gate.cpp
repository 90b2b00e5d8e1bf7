// The gate between the unpacking and a removal; see unpack_gate.h.
// Must not block the main thread on the removal's side: the main thread only
// ever reads or exchanges the state, and parks once it has given up.
#include "common/unpack_gate.h"

namespace {

enum : LONG {
  GATE_OPEN,        // between entries: a removal may shut it at once
  GATE_IN_ENTRY,    // the main thread makes an entry, its file may be open
  GATE_STOP_ASKED,  // a removal waits for the main thread to give up
  GATE_SHUT,        // for good: nothing more is made
};

volatile LONG gate_state = GATE_OPEN;

// How often a waiting removal looks again. The main thread answers within one
// write of ENTRY_WRITE_CHUNK bytes or one close; a console event is rare, so
// polling costs nothing that counts.
constexpr DWORD GATE_POLL_MS = 1;

}  // namespace

void (*volatile drain_unpacked_files)();

bool unpack_gate_enter() { return InterlockedCompareExchange(&gate_state, GATE_IN_ENTRY, GATE_OPEN) == GATE_OPEN; }

bool unpack_gate_stop_asked() { return gate_state == GATE_STOP_ASKED; }

void unpack_gate_leave() {
  if (InterlockedCompareExchange(&gate_state, GATE_OPEN, GATE_IN_ENTRY) != GATE_IN_ENTRY) unpack_gate_give_up();
}

void unpack_gate_give_up() {
  InterlockedExchange(&gate_state, GATE_SHUT);
  for (;;) Sleep(INFINITE);
}

void unpack_gate_close() {
  for (;;) {
    LONG seen = InterlockedCompareExchange(&gate_state, GATE_SHUT, GATE_OPEN);
    if (seen == GATE_OPEN || seen == GATE_SHUT) break;
    if (seen == GATE_IN_ENTRY) InterlockedCompareExchange(&gate_state, GATE_STOP_ASKED, GATE_IN_ENTRY);
    Sleep(GATE_POLL_MS);
  }
  // Read after the exchange that shut the gate: a hand-on before it set the
  // pointer first, and none can follow it.
  void (*drain)() = drain_unpacked_files;
  if (drain != nullptr) drain();
}

void unpack_gate_reopen() { InterlockedExchange(&gate_state, GATE_OPEN); }
