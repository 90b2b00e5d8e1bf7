// Tests of the bundle record: what one writer produces reads back entry for
// entry, and a record cut short, changed or for another bundle is refused
// before any entry reaches the reader's sink.
#include "payload/bundle_record.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/bundle_record_bytes.h"

namespace {

const char16_t ID[] = u"0123456789abcdef";

std::vector<uint8_t> write_record(const BundleEntries& entries, const char16_t* id = ID) {
  return bundle_record_bytes(entries, id);
}

struct Read {
  BundleRecordStatus status;
  std::vector<std::pair<std::u16string, uint64_t>> entries;
};

Read read_record(const std::vector<uint8_t>& bytes, size_t stop_after = SIZE_MAX) {
  struct Context {
    Read* read;
    size_t stop_after;
  };
  Read read{};
  Context context = {&read, stop_after};
  const BundleRecordSink sink = {&context, [](void* raw, const char16_t* name, size_t length, uint64_t size) {
                                   auto* context = static_cast<Context*>(raw);
                                   if (context->read->entries.size() == context->stop_after) return false;
                                   context->read->entries.emplace_back(std::u16string(name, length), size);
                                   return true;
                                 }};
  char16_t name[BUNDLE_RECORD_NAME_MAX_UNITS + 1];
  read.status = read_bundle_record(bytes.data(), bytes.size(), ID, name, &sink);
  return read;
}

const std::vector<std::pair<std::u16string, uint64_t>> ENTRIES = {
    {u"app.dll", 4096}, {u"lib\\helper.dll", 0}, {u"data\\\u00e9t\u00e9.txt", 0x1'0000'0001ull}};

TEST(BundleRecord, ReadsBackEveryEntryInOrderWithItsSize) {
  Read read = read_record(write_record(ENTRIES));
  EXPECT_EQ(read.status, BUNDLE_RECORD_WHOLE);
  EXPECT_EQ(read.entries, ENTRIES);
  std::u16string longest(BUNDLE_RECORD_NAME_MAX_UNITS, u'n');
  EXPECT_EQ(read_record(write_record({{longest, 1}})).status, BUNDLE_RECORD_WHOLE);
}

TEST(BundleRecord, RefusesARecordCutShortChangedOrOfAnotherBundleBeforeAnyEntry) {
  const std::vector<uint8_t> whole = write_record(ENTRIES);
  for (size_t length = 0; length < whole.size(); ++length) {
    Read read = read_record(std::vector<uint8_t>(whole.begin(), whole.begin() + length));
    EXPECT_EQ(read.status, BUNDLE_RECORD_DAMAGED) << "cut to " << length;
    EXPECT_TRUE(read.entries.empty());
  }
  for (size_t at = 0; at < whole.size(); ++at) {
    std::vector<uint8_t> changed = whole;
    changed[at] ^= 0x20;
    Read read = read_record(changed);
    EXPECT_EQ(read.status, BUNDLE_RECORD_DAMAGED) << "byte " << at;
    EXPECT_TRUE(read.entries.empty());
  }
  EXPECT_EQ(read_record(write_record(ENTRIES, u"fedcba9876543210")).status, BUNDLE_RECORD_DAMAGED);
  EXPECT_EQ(read_record(write_record({})).status, BUNDLE_RECORD_DAMAGED);  // no application
}

TEST(BundleRecord, ASinkThatStopsMakesTheRecordNotWhole) {
  Read read = read_record(write_record(ENTRIES), 1);
  EXPECT_EQ(read.status, BUNDLE_RECORD_REFUSED);
  EXPECT_EQ(read.entries.size(), 1u);
}

}  // namespace
