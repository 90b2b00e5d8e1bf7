// The record that makes a kept bundle directory of the cached mode
// trustworthy: which files it must hold, each with its size, written by the
// first start after the last file is closed and read by every later start.
// Portable and heap-free: bytes in, callbacks out; no platform header.
//
//    0     3         4                       36
//   +-----+---------+-----------------------+-- entries --+-----------+-----------+
//   | VBR | version | bundle id: 16 UTF-16LE | ...         | count     | check     |
//   |     | u8 = 1  | units (32 bytes)      |             | u32 LE    | u32 LE    |
//   +-----+---------+-----------------------+-------------+-----------+-----------+
//   entry: size u64 LE | name length u16 LE (units, 1..1023) | name, UTF-16LE, "\" separators
//   check: FNV-1a (32 bits) of every byte before it, so that a record cut short
//   or changed is refused, not half-trusted.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "payload/launch_settings_format.h"

constexpr uint8_t BUNDLE_RECORD_MAGIC[3] = {'V', 'B', 'R'};
constexpr uint8_t BUNDLE_RECORD_VERSION = 1;
constexpr size_t BUNDLE_RECORD_HEADER_SIZE = 4 + 2 * LAUNCH_BUNDLE_ID_UNITS;
constexpr size_t BUNDLE_RECORD_TRAILER_SIZE = 8;
constexpr size_t BUNDLE_RECORD_ENTRY_HEAD_SIZE = 10;  // size and name length
// Entry names stop short of the payload's name capacity (1024 with its NUL).
constexpr size_t BUNDLE_RECORD_NAME_MAX_UNITS = 1023;

// A running FNV-1a over the record's bytes, as the writer produces them.
struct BundleRecordCheck {
  uint32_t value;
  uint32_t count;  // entries so far
};

// The header for bundle id (LAUNCH_BUNDLE_ID_UNITS units) into out
// (BUNDLE_RECORD_HEADER_SIZE bytes); starts check.
void bundle_record_header(const char16_t* bundle_id, uint8_t* out, BundleRecordCheck* check);

// One entry's bytes into out (BUNDLE_RECORD_ENTRY_HEAD_SIZE + 2 * length
// bytes); length is 1..BUNDLE_RECORD_NAME_MAX_UNITS. Adds to check.
size_t bundle_record_entry(const char16_t* name, size_t length, uint64_t size, uint8_t* out, BundleRecordCheck* check);

// The trailer into out (BUNDLE_RECORD_TRAILER_SIZE bytes).
void bundle_record_trailer(const BundleRecordCheck* check, uint8_t* out);

// Where a reader's entries go: a name (length units, NUL-terminated in name)
// and its size. Returning false stops the reading (the record then counts as
// not whole).
struct BundleRecordSink {
  void* context;
  bool (*entry)(void* context, const char16_t* name, size_t length, uint64_t size);
};

enum BundleRecordStatus {
  BUNDLE_RECORD_WHOLE,      // every entry handed to the sink, which took each
  BUNDLE_RECORD_DAMAGED,    // another magic, version or id, a bad layout or check, no entry
  BUNDLE_RECORD_REFUSED,    // the sink stopped
};

// Checks the whole record (layout, count, check, bundle id) before the first
// entry goes to the sink, then hands over every entry in order; name is
// a buffer of BUNDLE_RECORD_NAME_MAX_UNITS + 1 units.
BundleRecordStatus read_bundle_record(const uint8_t* record, size_t size, const char16_t* bundle_id, char16_t* name,
                                      const BundleRecordSink* sink);
