// Entry headers; see payload_entry.h.
#include "payload/payload_entry.h"

EntryStatus payload_read_entry_name(PayloadStream* stream, char16_t* name, size_t* length) {
  for (size_t at = 0; at < ENTRY_NAME_CAPACITY; ++at) {
    uint8_t unit[2];
    if (payload_stream_read(stream, unit, sizeof unit) != PAYLOAD_OK) {
      name[at] = u'\0';
      *length = at;
      return ENTRY_CORRUPT;
    }
    name[at] = static_cast<char16_t>(unit[0] | (unit[1] << 8));
    if (name[at] == u'\0') {
      *length = at;
      return at == 0 ? ENTRY_END : ENTRY_OK;
    }
  }
  // The buffer is full and holds no terminator: leave it terminated.
  name[ENTRY_NAME_CAPACITY - 1] = u'\0';
  *length = ENTRY_NAME_CAPACITY - 1;
  return ENTRY_NAME_TOO_LONG;
}

EntryStatus payload_read_entry_size(PayloadStream* stream, uint64_t* size) {
  uint8_t bytes[ENTRY_SIZE_BYTES];
  if (payload_stream_read(stream, bytes, sizeof bytes) != PAYLOAD_OK) return ENTRY_CORRUPT;
  uint64_t value = 0;
  for (size_t i = ENTRY_SIZE_BYTES; i-- > 0;) value = (value << 8) | bytes[i];
  *size = value;
  return ENTRY_OK;
}
