// Tests of the launcher's payload stream over its resource: the messages and
// statuses of a bad header, an allocation that fails, and undecodable data.
#include "payload/payload_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "common/system_calls.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scenario.h"

namespace {

std::string held;

void use_resource(const std::string& resource) {
  held = resource;
  payload_stream = {};
  payload_stream.resource_data = reinterpret_cast<const uint8_t*>(held.data());
  payload_stream.resource_size = held.size();
}

std::string valid_resource() {
  return payload_resource(stored_frame(entry_stream({{L"app.dll", "MZ"}})));
}

VORBEL_SCENARIO(open_resource_variant) {
  std::wstring which = __wargv[2];
  std::string resource = valid_resource();
  if (which == L"none") {
    load_payload_resource();  // the test program carries no payload
  } else {
    if (which.rfind(L"flip", 0) == 0) resource[which[4] - L'0'] ^= 0x20;
    if (which.rfind(L"size", 0) == 0) resource.resize(which[4] - L'0');
    use_resource(resource);
  }
  open_payload_stream();
  puts("opened");
  return 0;
}

void* no_memory(size_t) {
  return nullptr;
}

ZSTD_DCtx_s* no_context() {
  return nullptr;
}

VORBEL_SCENARIO(open_without_buffer) {
  system_calls.malloc = no_memory;
  use_resource(valid_resource());
  open_payload_stream();
  return 0;
}

VORBEL_SCENARIO(open_without_decoder) {
  system_calls.ZSTD_createDCtx = no_context;
  use_resource(valid_resource());
  open_payload_stream();
  return 0;
}

VORBEL_SCENARIO(read_corrupt_block) {
  std::string resource = valid_resource();
  resource[3 + 6] = '\x07';  // block type 3: reserved
  use_resource(resource);
  open_payload_stream();
  char unit[2];
  read_payload_bytes(unit, 2);
  return 0;
}

TEST(OpenPayloadStream, AMissingShortOrWrongHeaderIsReported) {
  for (const wchar_t* variant : {L"none", L"flip0", L"flip1", L"flip2", L"size0", L"size2"}) {
    ProcessResult result = run_scenario("open_resource_variant", {}, {variant});
    EXPECT_EQ(result.out, text_mode("Error, couldn't find attached data header.\n")) << narrow(variant);
    EXPECT_EQ(result.exit_code, 2u) << narrow(variant);
  }
  ProcessResult header_only = run_scenario("open_resource_variant", {}, {L"size3"});
  EXPECT_EQ(header_only.out, text_mode("opened\n")) << "the header alone is accepted; decoding fails later";
}

TEST(OpenPayloadStream, AllocationFailuresAreReported) {
  for (const char* scenario : {"open_without_buffer", "open_without_decoder"}) {
    ProcessResult result = run_scenario(scenario);
    EXPECT_EQ(result.out, text_mode("Error, couldn't allocate memory.\n")) << scenario;
    EXPECT_EQ(result.exit_code, 2u) << scenario;
  }
}

TEST(ReadPayloadBytes, UndecodableDataIsReported) {
  ProcessResult result = run_scenario("read_corrupt_block");
  EXPECT_EQ(result.out, text_mode("Error, couldn't decode attached data.\n"));
  EXPECT_EQ(result.exit_code, 2u);
}

}  // namespace
