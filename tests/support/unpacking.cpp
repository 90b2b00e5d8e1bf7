// Unpacking inside the test program; see unpacking.h. Resets only what a process
// start would: it never reaches into the launcher's state beyond that.
#include "tests/support/unpacking.h"

#include "common/run_state.h"
#include "common/unpack_gate.h"
#include "payload/payload_reader.h"
#include "payload/unpack_payload.h"

void start_unpacking(const std::string& resource, const std::wstring& directory) {
  static std::string held;  // the stream decodes straight out of it
  held = resource;
  unpack_gate_reopen();
  begin_unpack(directory.c_str());
  payload_stream = {};
  payload_stream.resource_data = reinterpret_cast<const uint8_t*>(held.data());
  payload_stream.resource_size = held.size();
  open_payload_stream();
}

std::string payload_of(const std::vector<TestEntry>& entries, size_t block_size) {
  return payload_resource(stored_frame(entry_stream(entries), block_size));
}

bool unpack_all() {
  bool unpacked = unpack_payload(UNPACK_ALL_ENTRIES);
  end_unpack();
  return unpacked;
}
