// Unpacking inside the test program: the launcher's unpacking state put back
// to process start over a payload of the test's own, and an unpack that ends
// only once every file is closed, as the child launch waits for it to be.
#pragma once

#include <string>
#include <vector>

#include "tests/support/payload_builder.h"

// Opens a stream over the payload resource, extracting into directory; the
// unpacking gate is open again, even after a removal earlier in the process.
void start_unpacking(const std::string& resource, const std::wstring& directory);

// A payload resource of the entries, in stored blocks of block_size bytes.
std::string payload_of(const std::vector<TestEntry>& entries, size_t block_size = 131072);

// unpack_payload(UNPACK_ALL_ENTRIES), then the closing pool drained.
bool unpack_all();
