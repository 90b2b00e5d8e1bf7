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
#include "tests/support/bundle_record_bytes.h"

namespace {

// The id of the seeds: the record's own id field, when it has one, must match.
const char16_t ID[] = u"0123456789abcdef";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> record(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(record.get(), data, size);
  BundleEntries entries;
  const BundleRecordSink sink = {&entries, [](void* context, const char16_t* name, size_t length, uint64_t size) {
                                   FUZZ_CHECK(length >= 1 && length <= BUNDLE_RECORD_NAME_MAX_UNITS);
                                   FUZZ_CHECK(name[length] == u'\0');
                                   static_cast<BundleEntries*>(context)->emplace_back(std::u16string(name, length), size);
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
  const std::vector<uint8_t> again = bundle_record_bytes(entries, ID);
  FUZZ_CHECK(again.size() == size && std::memcmp(again.data(), data, size) == 0);
  return 0;
}
