// Unpacking inside the test program; see unpacking.h. Resets only what a process
// start would: it never reaches into the launcher's state beyond that.
#include "tests/support/unpacking.h"

#include <cwchar>

#include "common/run_state.h"
#include "common/unpack_gate.h"
#include "payload/closing_pool.h"
#include "payload/payload_reader.h"
#include "payload/unpack_payload.h"

void start_unpacking(const std::string& resource, const std::wstring& directory) {
  static std::string held;  // the stream decodes straight out of it
  held = resource;
  forget_known_directories();
  unpack_gate_reopen();
  extraction_dir_private = false;
  first_entry_path[0] = L'\0';
  extraction_dir[0] = L'\0';
  wcsncpy(extraction_dir, directory.c_str(), PATH_CAPACITY - 1);
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
  drain_closing_pool();
  return unpacked;
}
