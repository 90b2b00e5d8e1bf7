// .ico parsing and RT_GROUP_ICON writing; see icon_group.h.
// Layouts (little-endian): ICONDIR {reserved 0, type 1, count}, then count
// ICONDIRENTRY of 16 bytes {w, h, colors, reserved, planes, bits, size, offset};
// the group resource has the same header and 14-byte entries ending in an id.
#include "packer/icon_group.h"

#include <string>

#include "packer/pe_resources.h"

namespace vorbel::pack {
namespace {

constexpr size_t kDirSize = 6, kFileEntrySize = 16, kGroupEntrySize = 14;
constexpr uint16_t kTypeIcon = 1, kTypeCursor = 2;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr uint32_t kBitmapInfoHeaderSize = 40;

Failure bad(std::string problem) { return Failure{"", "is not a usable icon file (.ico): " + std::move(problem)}; }

bool is_png(std::span<const uint8_t> image) {
  return image.size() >= sizeof kPngSignature && std::equal(kPngSignature, kPngSignature + 8, image.begin());
}

}  // namespace

Result<std::vector<IconImage>> parse_ico(std::span<const uint8_t> file) {
  using pe::get_u16, pe::get_u32;
  if (file.size() < kDirSize) return bad("shorter than its 6-byte header");
  if (get_u16(file, 0) != 0) return bad("its header does not start with 0");
  const uint16_t type = get_u16(file, 2);
  if (type == kTypeCursor) return bad("it is a cursor (.cur)");
  if (type != kTypeIcon) return bad("its header's type is " + std::to_string(type) + ", not 1");
  const uint16_t count = get_u16(file, 4);
  if (count == 0) return bad("it holds no images");
  const uint64_t images_from = kDirSize + uint64_t{count} * kFileEntrySize;
  if (images_from > file.size()) return bad("its directory of " + std::to_string(count) + " images is cut short");
  std::vector<IconImage> images;
  for (uint16_t i = 0; i < count; ++i) {
    const size_t at = kDirSize + size_t{i} * kFileEntrySize;
    const uint32_t size = get_u32(file, at + 8), offset = get_u32(file, at + 12);
    const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (size == 0) return bad(which + " is empty");
    if (offset < images_from || uint64_t{offset} + size > file.size())
      return bad(which + " (" + std::to_string(size) + " bytes at offset " + std::to_string(offset) +
                 ") lies outside the file");
    std::span<const uint8_t> bytes = file.subspan(offset, size);
    if (!is_png(bytes) && (size < kBitmapInfoHeaderSize || get_u32(bytes, 0) != kBitmapInfoHeaderSize))
      return bad(which + " is neither a PNG nor a bitmap");
    images.push_back(IconImage{file[at], file[at + 1], file[at + 2], get_u16(file, at + 4), get_u16(file, at + 6),
                               std::vector<uint8_t>(bytes.begin(), bytes.end())});
  }
  return images;
}

std::vector<uint8_t> icon_group_resource(const std::vector<IconImage>& images, uint16_t first_id) {
  std::vector<uint8_t> group(kDirSize + images.size() * kGroupEntrySize, 0);
  pe::put_u16(group, 2, kTypeIcon);
  pe::put_u16(group, 4, static_cast<uint16_t>(images.size()));
  for (size_t i = 0; i < images.size(); ++i) {
    const IconImage& image = images[i];
    const size_t at = kDirSize + i * kGroupEntrySize;
    group[at] = image.width;
    group[at + 1] = image.height;
    group[at + 2] = image.color_count;
    pe::put_u16(group, at + 4, image.planes);
    pe::put_u16(group, at + 6, image.bit_count);
    pe::put_u32(group, at + 8, static_cast<uint32_t>(image.bytes.size()));
    pe::put_u16(group, at + 12, static_cast<uint16_t>(first_id + i));
  }
  return group;
}

}  // namespace vorbel::pack
