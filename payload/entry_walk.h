// The payload's entry loop: each entry's header read and its name checked,
// then its contents handed on in chunks. The launcher's unpacking runs it with
// a sink that writes files, the fuzz target with one that records. Portable:
// no platform headers, no allocation; what happens to the bytes is the sink's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "payload/payload_stream.h"

// What the walk hands each entry to. A failing sink call does not come back
// to the walk (the launcher's ends the process) or records the failure itself.
struct EntrySink {
  // A name that stays inside the extraction directory ("/" and "\\" both
  // separate). False stops the walk before the entry's size is read.
  bool (*take_name)(void* context, const char16_t* name, size_t length);
  void (*begin_contents)(void* context, uint64_t size);
  void (*write_contents)(void* context, const uint8_t* bytes, size_t count);
  void (*end_contents)(void* context);
  void* context;
};

enum EntryWalkEnd {
  ENTRY_WALK_END_MARKER,     // the stream stands just after the end marker
  ENTRY_WALK_STOPPED,        // take_name returned false
  ENTRY_WALK_NAME_TOO_LONG,  // no terminating unit within ENTRY_NAME_CAPACITY units
  ENTRY_WALK_OUTSIDE,        // a name that would leave the directory; name holds it
  ENTRY_WALK_CORRUPT,        // the stream failed inside a header or the contents
};

// Reads entries until one of the ends above. name is the caller's buffer of
// ENTRY_NAME_CAPACITY units and holds the last name read; chunk (chunk_size
// bytes, at least 1) carries the contents to the sink.
EntryWalkEnd payload_walk_entries(PayloadStream* stream, char16_t* name, uint8_t* chunk, size_t chunk_size,
                                  const EntrySink* sink);
