// SHA-256 against the standard test vectors, whole and fed in pieces that cut
// across block boundaries (the buffering is where a hash goes wrong).
#include "packer/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace vorbel::pack {
namespace {

std::string hex(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Sha256, GivesTheStandardVectorsWholeAndInPieces) {
  struct Vector {
    std::string message;
    const char* digest;
  };
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& vector : vectors) {
    EXPECT_EQ(hex(sha256(bytes_of(vector.message))), vector.digest) << vector.message.size() << " bytes";
    for (size_t piece : {1, 63, 65}) {
      Sha256 hash;
      std::string_view rest = vector.message;
      while (!rest.empty()) {
        const size_t take = std::min(piece, rest.size());
        hash.update(bytes_of(rest.substr(0, take)));
        rest.remove_prefix(take);
      }
      EXPECT_EQ(hex(hash.finish()), vector.digest) << vector.message.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace vorbel::pack
