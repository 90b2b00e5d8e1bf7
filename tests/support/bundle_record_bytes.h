// A bundle record's bytes for tests and the fuzz target, written with the
// launcher's own writer: header, entries, trailer. Header-only and portable,
// so the host tests, the fuzz target and the Windows tests share it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "payload/bundle_record.h"

using BundleEntries = std::vector<std::pair<std::u16string, uint64_t>>;

inline std::vector<uint8_t> bundle_record_bytes(const BundleEntries& entries, const char16_t* bundle_id) {
  std::vector<uint8_t> bytes(BUNDLE_RECORD_HEADER_SIZE);
  BundleRecordCheck check;
  bundle_record_header(bundle_id, bytes.data(), &check);
  for (const auto& [name, size] : entries) {
    size_t at = bytes.size();
    bytes.resize(at + BUNDLE_RECORD_ENTRY_HEAD_SIZE + 2 * name.size());
    bundle_record_entry(name.data(), name.size(), size, bytes.data() + at, &check);
  }
  size_t at = bytes.size();
  bytes.resize(at + BUNDLE_RECORD_TRAILER_SIZE);
  bundle_record_trailer(&check, bytes.data() + at);
  return bytes;
}
