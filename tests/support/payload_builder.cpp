// Test payloads built by hand; see payload_builder.h.
#include "tests/support/payload_builder.h"

namespace {

void put_unit(std::string* out, uint16_t unit) {
  out->push_back(static_cast<char>(unit & 0xFF));
  out->push_back(static_cast<char>(unit >> 8));
}

}  // namespace

std::string entry_stream(const std::vector<TestEntry>& entries, bool end_marker) {
  std::string out;
  for (const auto& entry : entries) {
    for (wchar_t unit : entry.name) put_unit(&out, static_cast<uint16_t>(unit));
    put_unit(&out, 0);
    uint64_t size = entry.contents.size();
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((size >> (8 * i)) & 0xFF));
    out += entry.contents;
  }
  if (end_marker) put_unit(&out, 0);
  return out;
}

std::string stored_frame(const std::string& content, size_t block_size) {
  std::string frame = {'\x28', '\xB5', '\x2F', '\xFD'};  // magic number 0xFD2FB528
  frame.push_back('\x00');                           // descriptor: window given, no checksum, no size
  frame.push_back('\x38');                           // window 2^(10 + 7) = 128 KiB
  size_t at = 0;
  do {
    size_t size = std::min(block_size, content.size() - at);
    bool last = at + size == content.size();
    uint32_t header = (last ? 1u : 0u) | (0u << 1) | (static_cast<uint32_t>(size) << 3);  // a raw block
    for (int i = 0; i < 3; ++i) frame.push_back(static_cast<char>((header >> (8 * i)) & 0xFF));
    frame.append(content, at, size);
    at += size;
  } while (at < content.size());
  return frame;
}

std::string payload_resource(const std::string& frame) {
  return "VUQ" + frame;
}
