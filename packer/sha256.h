// SHA-256 (FIPS 180-4) for the build tool: the cached mode's bundle id is a
// hash of the payload resource's bytes. Portable and incremental, so a payload
// streamed in chunks never has to be held whole; not meant for secrets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorbel::pack {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  void update(std::span<const uint8_t> bytes);
  // The digest of everything given so far; the object is spent afterwards.
  Sha256Digest finish();

 private:
  void compress(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> block_ = {};
  size_t block_used_ = 0;
  uint64_t total_bytes_ = 0;
};

Sha256Digest sha256(std::span<const uint8_t> bytes);

}  // namespace vorbel::pack
