// SHA-256 as FIPS 180-4 defines it; see sha256.h. Words are read and written
// big-endian byte by byte, so the host's byte order never matters.
#include "packer/sha256.h"

#include <algorithm>
#include <bit>

namespace vorbel::pack {
namespace {

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// The first 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr std::array<uint32_t, 8> kInitial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

uint32_t big_endian_at(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

}  // namespace

Sha256::Sha256() : state_(kInitial) {}

void Sha256::compress(const uint8_t* block) {
  uint32_t schedule[64];
  for (int i = 0; i < 16; ++i) schedule[i] = big_endian_at(block + 4 * i);
  for (int i = 16; i < 64; ++i) {
    const uint32_t w15 = schedule[i - 15], w2 = schedule[i - 2];
    const uint32_t s0 = std::rotr(w15, 7) ^ std::rotr(w15, 18) ^ (w15 >> 3);
    const uint32_t s1 = std::rotr(w2, 17) ^ std::rotr(w2, 19) ^ (w2 >> 10);
    schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 =
        h + (std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + schedule[i];
    const uint32_t t2 = (std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::update(std::span<const uint8_t> bytes) {
  total_bytes_ += bytes.size();
  while (!bytes.empty()) {
    if (block_used_ == 0 && bytes.size() >= block_.size()) {
      compress(bytes.data());
      bytes = bytes.subspan(block_.size());
      continue;
    }
    const size_t take = std::min(bytes.size(), block_.size() - block_used_);
    std::copy_n(bytes.data(), take, block_.data() + block_used_);
    block_used_ += take;
    bytes = bytes.subspan(take);
    if (block_used_ == block_.size()) {
      compress(block_.data());
      block_used_ = 0;
    }
  }
}

Sha256Digest Sha256::finish() {
  // The message length in bits is taken before the padding changes the count.
  const uint64_t bits = total_bytes_ * 8;
  const uint8_t one_bit = 0x80;
  update({&one_bit, 1});
  const uint8_t zero = 0;
  while (block_used_ != 56) update({&zero, 1});
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  update(length);
  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
  }
  return digest;
}

Sha256Digest sha256(std::span<const uint8_t> bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

}  // namespace vorbel::pack
