// Icon files made in memory for tests, on the host and under Wine: square
// 32-bit bitmap images of one colour each. Test code only.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace vorbel::pack::testing {

// A .ico holding one image per (size, BGRA colour), in that order.
inline std::vector<uint8_t> solid_icon(const std::vector<std::pair<int, uint32_t>>& images) {
  auto put = [](std::vector<uint8_t>& out, uint64_t value, int bytes) {
    // Wider fields than the value are zero-filled (a shift by 64 or more is undefined).
    for (int i = 0; i < bytes; ++i) out.push_back(i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
  };
  std::vector<std::vector<uint8_t>> bitmaps;
  for (auto [size, colour] : images) {
    std::vector<uint8_t> bitmap;
    const uint32_t mask_row = ((size + 31) / 32) * 4;
    put(bitmap, 40, 4);        // BITMAPINFOHEADER
    put(bitmap, size, 4);      // width
    put(bitmap, size * 2, 4);  // height: colour and mask
    put(bitmap, 1, 2);         // planes
    put(bitmap, 32, 2);        // bits per pixel
    put(bitmap, 0, 4);         // BI_RGB
    put(bitmap, size * size * 4 + mask_row * size, 4);
    put(bitmap, 0, 16);  // resolution and palette
    for (int i = 0; i < size * size; ++i) put(bitmap, colour, 4);
    bitmap.resize(bitmap.size() + mask_row * size, 0);  // all opaque
    bitmaps.push_back(std::move(bitmap));
  }
  std::vector<uint8_t> ico;
  put(ico, 0, 2);
  put(ico, 1, 2);
  put(ico, images.size(), 2);
  uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const int size = images[i].first;
    ico.push_back(static_cast<uint8_t>(size % 256));
    ico.push_back(static_cast<uint8_t>(size % 256));
    put(ico, 0, 2);
    put(ico, 1, 2);
    put(ico, 32, 2);
    put(ico, bitmaps[i].size(), 4);
    put(ico, offset, 4);
    offset += static_cast<uint32_t>(bitmaps[i].size());
  }
  for (const auto& bitmap : bitmaps) ico.insert(ico.end(), bitmap.begin(), bitmap.end());
  return ico;
}

}  // namespace vorbel::pack::testing
