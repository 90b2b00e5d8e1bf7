// The payload's entry loop; see entry_walk.h. The name check runs before a
// name reaches the sink, so no sink can be handed a path that leaves the
// extraction directory.
#include "payload/entry_walk.h"

#include "payload/entry_name_rule.h"
#include "payload/payload_entry.h"

EntryWalkEnd payload_walk_entries(PayloadStream* stream, char16_t* name, uint8_t* chunk, size_t chunk_size,
                                  const EntrySink* sink) {
  for (;;) {
    size_t length = 0;
    switch (payload_read_entry_name(stream, name, &length)) {
      case ENTRY_OK:
        break;
      case ENTRY_END:
        return ENTRY_WALK_END_MARKER;
      case ENTRY_NAME_TOO_LONG:
        return ENTRY_WALK_NAME_TOO_LONG;
      case ENTRY_CORRUPT:
        return ENTRY_WALK_CORRUPT;
    }
    if (!entry_name_stays_inside(name)) return ENTRY_WALK_OUTSIDE;
    if (!sink->take_name(sink->context, name, length)) return ENTRY_WALK_STOPPED;
    uint64_t size = 0;
    if (payload_read_entry_size(stream, &size) != ENTRY_OK) return ENTRY_WALK_CORRUPT;
    sink->begin_contents(sink->context, size);
    while (size != 0) {
      size_t count = size < chunk_size ? static_cast<size_t>(size) : chunk_size;
      if (payload_stream_read(stream, chunk, count) != PAYLOAD_OK) return ENTRY_WALK_CORRUPT;
      sink->write_contents(sink->context, chunk, count);
      size -= count;
    }
    sink->end_contents(sink->context);
  }
}
