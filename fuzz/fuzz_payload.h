// How the payload fuzz target turns its input into a payload resource, shared
// with the seed generator so that seeds and target agree on the encoding.
// Random bytes almost never form a Zstandard frame with a valid checksum, so
// most inputs are the frame's decoded content instead, compressed here: that way
// the fuzzer mutates the entry list itself (names, sizes, end marker).
#pragma once

#include <zstd.h>

#include <cstdint>
#include <span>
#include <vector>

#include "payload/payload_format.h"

namespace vorbel::fuzz {

// First input byte: bit 0 chooses the mode, the other bits modify it.
inline constexpr uint8_t kCompressedContent = 0x00;  // the rest is the decoded content
inline constexpr uint8_t kRawResource = 0x01;        // the rest is the resource as found in an image
inline constexpr uint8_t kCutLastByte = 0x02;        // content mode: the frame loses its last byte
inline constexpr uint8_t kNoChecksum = 0x04;         // content mode: the frame carries no checksum

// "VUQ" and one frame holding `content`, at a fast level so that each run stays cheap.
inline std::vector<uint8_t> compress_payload(std::span<const uint8_t> content, bool checksum) {
  static ZSTD_CCtx* const context = ZSTD_createCCtx();
  ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 1);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  std::vector<uint8_t> resource(PAYLOAD_HEADER, PAYLOAD_HEADER + PAYLOAD_HEADER_SIZE);
  resource.resize(PAYLOAD_HEADER_SIZE + ZSTD_compressBound(content.size()));
  size_t size = ZSTD_compress2(context, resource.data() + PAYLOAD_HEADER_SIZE, resource.size() - PAYLOAD_HEADER_SIZE,
                               content.data(), content.size());
  if (ZSTD_isError(size)) __builtin_trap();  // the bound above makes this impossible
  resource.resize(PAYLOAD_HEADER_SIZE + size);
  return resource;
}

}  // namespace vorbel::fuzz
