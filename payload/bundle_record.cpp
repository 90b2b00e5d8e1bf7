// The bundle record's writer and reader; see bundle_record.h.
// Bytes are read one at a time, little-endian, so that the host's build of
// the reader (its fuzz target) reads exactly what the launcher wrote.
#include "payload/bundle_record.h"

namespace {

void add_bytes(BundleRecordCheck* check, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) check->value = (check->value ^ bytes[i]) * 16777619u;
}

void put_u16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

void put_u32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t u16_at(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

uint32_t u32_at(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

uint64_t u64_at(const uint8_t* bytes) {
  return static_cast<uint64_t>(u32_at(bytes)) | (static_cast<uint64_t>(u32_at(bytes + 4)) << 32);
}

// Walks the entries between the header and the trailer; with a sink, hands
// each over. False for a layout that does not end exactly at the trailer.
bool walk_entries(const uint8_t* entries, size_t size, uint32_t* count, char16_t* name, const BundleRecordSink* sink,
                  bool* stopped) {
  size_t at = 0;
  *count = 0;
  while (at < size) {
    if (size - at < BUNDLE_RECORD_ENTRY_HEAD_SIZE) return false;
    uint64_t file_size = u64_at(entries + at);
    size_t length = u16_at(entries + at + 8);
    at += BUNDLE_RECORD_ENTRY_HEAD_SIZE;
    if (length == 0 || length > BUNDLE_RECORD_NAME_MAX_UNITS || (size - at) / 2 < length) return false;
    for (size_t i = 0; i < length; ++i) {
      name[i] = static_cast<char16_t>(u16_at(entries + at + 2 * i));
      if (name[i] == u'\0') return false;
    }
    name[length] = u'\0';
    if (sink != nullptr && !sink->entry(sink->context, name, length, file_size)) {
      *stopped = true;
      return true;
    }
    at += 2 * length;
    ++*count;
  }
  return true;
}

}  // namespace

void bundle_record_header(const char16_t* bundle_id, uint8_t* out, BundleRecordCheck* check) {
  for (size_t i = 0; i < sizeof BUNDLE_RECORD_MAGIC; ++i) out[i] = BUNDLE_RECORD_MAGIC[i];
  out[3] = BUNDLE_RECORD_VERSION;
  for (size_t i = 0; i < LAUNCH_BUNDLE_ID_UNITS; ++i) put_u16(out + 4 + 2 * i, bundle_id[i]);
  *check = BundleRecordCheck{2166136261u, 0};
  add_bytes(check, out, BUNDLE_RECORD_HEADER_SIZE);
}

size_t bundle_record_entry(const char16_t* name, size_t length, uint64_t size, uint8_t* out,
                           BundleRecordCheck* check) {
  put_u32(out, static_cast<uint32_t>(size));
  put_u32(out + 4, static_cast<uint32_t>(size >> 32));
  put_u16(out + 8, static_cast<uint16_t>(length));
  for (size_t i = 0; i < length; ++i) put_u16(out + BUNDLE_RECORD_ENTRY_HEAD_SIZE + 2 * i, name[i]);
  size_t bytes = BUNDLE_RECORD_ENTRY_HEAD_SIZE + 2 * length;
  add_bytes(check, out, bytes);
  ++check->count;
  return bytes;
}

void bundle_record_trailer(const BundleRecordCheck* check, uint8_t* out) {
  put_u32(out, check->count);
  BundleRecordCheck with_count = *check;
  add_bytes(&with_count, out, 4);
  put_u32(out + 4, with_count.value);
}

BundleRecordStatus read_bundle_record(const uint8_t* record, size_t size, const char16_t* bundle_id, char16_t* name,
                                      const BundleRecordSink* sink) {
  if (size < BUNDLE_RECORD_HEADER_SIZE + BUNDLE_RECORD_TRAILER_SIZE) return BUNDLE_RECORD_DAMAGED;
  for (size_t i = 0; i < sizeof BUNDLE_RECORD_MAGIC; ++i) {
    if (record[i] != BUNDLE_RECORD_MAGIC[i]) return BUNDLE_RECORD_DAMAGED;
  }
  if (record[3] != BUNDLE_RECORD_VERSION) return BUNDLE_RECORD_DAMAGED;
  for (size_t i = 0; i < LAUNCH_BUNDLE_ID_UNITS; ++i) {
    if (u16_at(record + 4 + 2 * i) != bundle_id[i]) return BUNDLE_RECORD_DAMAGED;
  }
  BundleRecordCheck check = {2166136261u, 0};
  add_bytes(&check, record, size - 4);
  if (u32_at(record + size - 4) != check.value) return BUNDLE_RECORD_DAMAGED;

  const uint8_t* entries = record + BUNDLE_RECORD_HEADER_SIZE;
  size_t entries_size = size - BUNDLE_RECORD_HEADER_SIZE - BUNDLE_RECORD_TRAILER_SIZE;
  uint32_t count = 0;
  bool stopped = false;
  if (!walk_entries(entries, entries_size, &count, name, nullptr, &stopped)) return BUNDLE_RECORD_DAMAGED;
  if (count == 0 || count != u32_at(record + size - BUNDLE_RECORD_TRAILER_SIZE)) return BUNDLE_RECORD_DAMAGED;
  if (!walk_entries(entries, entries_size, &count, name, sink, &stopped)) return BUNDLE_RECORD_DAMAGED;
  return stopped ? BUNDLE_RECORD_REFUSED : BUNDLE_RECORD_WHOLE;
}
