// Hand-made payloads for tests of the launcher's reader: entry streams built
// byte by byte and framed as stored (uncompressed) Zstandard blocks, so that
// tests can cut, corrupt and shape them freely without a compressor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TestEntry {
  std::wstring name;
  std::string contents;
};

// The decoded stream: every entry, then the end marker unless told otherwise.
std::string entry_stream(const std::vector<TestEntry>& entries, bool end_marker = true);

// One frame of raw blocks holding content (no checksum, no content size, a
// 128 KiB window); blocks are at most block_size bytes.
std::string stored_frame(const std::string& content, size_t block_size = 131072);

// "VUQ" + frame.
std::string payload_resource(const std::string& frame);
