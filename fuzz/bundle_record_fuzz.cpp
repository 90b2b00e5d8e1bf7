// Property: the bundle record reader never reads outside the record (handed
// over in a buffer of its own size), hands no entry to its sink unless the
// whole record passes, and accepts a record only when writing its entries
// back gives the same bytes: nothing of a damaged record is trusted, and
// nothing of a whole one is lost or changed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "payload/bundle_record.h"

namespace {

// The id of the seeds: the record's own id field, when it has one, must match.
const char16_t ID[] = u"0123456789abcdef";

using Entries = std::vector<std::pair<std::u16string, uint64_t>>;

std::vector<uint8_t> write_back(const Entries& entries) {
  std::vector<uint8_t> bytes(BUNDLE_RECORD_HEADER_SIZE);
  BundleRecordCheck check;
  bundle_record_header(ID, bytes.data(), &check);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> record(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(record.get(), data, size);
  Entries entries;
  const BundleRecordSink sink = {&entries, [](void* context, const char16_t* name, size_t length, uint64_t size) {
                                   FUZZ_CHECK(length >= 1 && length <= BUNDLE_RECORD_NAME_MAX_UNITS);
                                   FUZZ_CHECK(name[length] == u'\0');
                                   static_cast<Entries*>(context)->emplace_back(std::u16string(name, length), size);
                                   return true;
                                 }};
  char16_t name[BUNDLE_RECORD_NAME_MAX_UNITS + 1];
  const BundleRecordStatus status = read_bundle_record(record.get(), size, ID, name, &sink);
  if (status != BUNDLE_RECORD_WHOLE) {
    FUZZ_CHECK(status == BUNDLE_RECORD_DAMAGED);
    FUZZ_CHECK(entries.empty());
    return 0;
  }
  FUZZ_CHECK(!entries.empty());
  const std::vector<uint8_t> again = write_back(entries);
  FUZZ_CHECK(again.size() == size && std::memcmp(again.data(), data, size) == 0);
  return 0;
}
