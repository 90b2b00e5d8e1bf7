// The icon file format (.ico) and the icon group resource (RT_GROUP_ICON) that
// points at its images once they are RT_ICON resources. Bytes only: no files,
// no OS headers; input never trusted.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "packer/result.h"

namespace vorbel::pack {

// One image of an icon, with the directory fields the group repeats.
struct IconImage {
  uint8_t width = 0;        // pixels, 0 meaning 256
  uint8_t height = 0;       // pixels, 0 meaning 256
  uint8_t color_count = 0;  // palette entries, 0 for 8 bits and more
  uint16_t planes = 0;
  uint16_t bit_count = 0;
  std::vector<uint8_t> bytes;  // a BITMAPINFOHEADER DIB or a PNG file
};

// Every image of a .ico file, in file order. Failures name no file.
Result<std::vector<IconImage>> parse_ico(std::span<const uint8_t> file);

// The RT_GROUP_ICON resource for `images` stored as RT_ICON first_id, first_id+1, ...
std::vector<uint8_t> icon_group_resource(const std::vector<IconImage>& images, uint16_t first_id);

}  // namespace vorbel::pack
