// One payload entry's header, read off the stream: its name up to the
// terminating unit, then its size. The one decoding of it, shared by the
// launcher's unpacking, the build tool's list, extract and verify, and the
// fuzz target that checks it. Portable; allocates nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "payload/payload_format.h"
#include "payload/payload_stream.h"

enum EntryStatus {
  ENTRY_OK,
  ENTRY_END,            // the end marker: an empty name; no size follows
  ENTRY_NAME_TOO_LONG,  // no terminating unit within the first ENTRY_NAME_CAPACITY units
  ENTRY_CORRUPT,        // the stream failed inside the name or the size
};

// The next name into name (ENTRY_NAME_CAPACITY units), NUL-terminated;
// *length is its length in units. Nothing is ever stored past the buffer.
EntryStatus payload_read_entry_name(PayloadStream* stream, char16_t* name, size_t* length);

// The size that follows a name that is not empty: 64 bits, little-endian.
EntryStatus payload_read_entry_size(PayloadStream* stream, uint64_t* size);
