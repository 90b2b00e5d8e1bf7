// How the directory spec fuzz target reads its input: a capacity, the values
// the system would supply, and the spec itself; shared with the seed generator
// so that seeds and target agree. Long values cost few input bytes (a short
// pattern repeated to a length), so the fuzzer reaches the 4096-unit bounds.
//
//   u16 capacity (taken modulo 4097, plus 1)    u8 flags (kTempFails ...)
//   i64 clock (FILETIME count)                 u32 own process id
//   6 values, in Value order: u16 length, u8 pattern length (<= 64), pattern units (u16 each)
//   the spec: u16 units to the end of the input or the first NUL
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorbel::fuzz {

inline constexpr uint8_t kTempFails = 0x01;       // GetTempPathW returns 0
inline constexpr uint8_t kHomeFails = 0x02;       // SHGetFolderPathW fails for the profile
inline constexpr uint8_t kCacheFails = 0x04;      // ... and for local application data
inline constexpr uint8_t kNoArgv0 = 0x08;         // the runtime's argument vector is empty
inline constexpr uint8_t kParentDigits = 0x10;    // VORBEL_ONEFILE_PARENT's units become digits
inline constexpr uint8_t kStartFormatted = 0x20;  // VORBEL_ONEFILE_START is a "%lld" count (the clock halved)
inline constexpr uint8_t kStartDigits = 0x40;     // VORBEL_ONEFILE_START's units become digits

enum Value { kTemp, kHome, kCache, kArgv0, kParent, kStart, kValueCount };

struct SpecInput {
  size_t capacity = 1;
  uint8_t flags = 0;
  int64_t clock = 0;
  uint32_t own_id = 0;
  std::u16string values[kValueCount];
  std::u16string spec;
};

class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t next(int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(at_ < size_ ? data_[at_++] : 0) << (8 * i);
    return value;
  }
  bool done() const { return at_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

inline SpecInput decode_spec_input(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  SpecInput input;
  input.capacity = in.next(2) % 4097 + 1;
  input.flags = static_cast<uint8_t>(in.next(1));
  input.clock = static_cast<int64_t>(in.next(8));
  input.own_id = static_cast<uint32_t>(in.next(4));
  for (auto& value : input.values) {
    size_t length = in.next(2) % 4200;
    size_t pattern_length = in.next(1) % 65;
    std::u16string pattern;
    for (size_t i = 0; i < pattern_length; ++i) {
      char16_t unit = static_cast<char16_t>(in.next(2));
      pattern.push_back(unit == 0 ? u'0' : unit);  // values are NUL-terminated texts
    }
    if (!pattern.empty()) {
      while (value.size() < length) value.push_back(pattern[value.size() % pattern.size()]);
    }
  }
  while (!in.done()) {
    char16_t unit = static_cast<char16_t>(in.next(2));
    if (unit == 0) break;
    input.spec.push_back(unit);
  }
  return input;
}

inline std::vector<uint8_t> encode_spec_input(const SpecInput& input) {
  std::vector<uint8_t> bytes;
  auto put = [&](uint64_t value, int count) {
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  put(input.capacity - 1, 2);
  put(input.flags, 1);
  put(static_cast<uint64_t>(input.clock), 8);
  put(input.own_id, 4);
  for (const auto& value : input.values) {
    size_t pattern_length = value.size() < 64 ? value.size() : 64;
    put(value.size(), 2);
    put(pattern_length, 1);
    for (size_t i = 0; i < pattern_length; ++i) put(value[i], 2);
  }
  for (char16_t unit : input.spec) put(unit, 2);
  return bytes;
}

}  // namespace vorbel::fuzz
