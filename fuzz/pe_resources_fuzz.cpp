// Property: for any bytes, parse_image and read_resources return (an image, a
// tree or an error) without crashing, hanging or reading out of bounds. When both
// succeed, putting a payload in as RT_RCDATA 27 and writing the image either fails
// with an error or yields an image that parses again, whose payload reads back as
// written (exactly once) and whose every other resource is unchanged, byte for byte.
// Packing the packed image again, with another payload, keeps the same promise.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "packer/pe_resources.h"
#include "payload/payload_format.h"

namespace {

using namespace vorbel::pe;

// One leaf of the tree, with everything on its path that a rewrite must keep.
using Leaf =
    std::tuple<ResourceKey, DirectoryInfo, ResourceKey, DirectoryInfo, ResourceKey, uint32_t, std::vector<uint8_t>>;

bool is_payload(const ResourceType& type, const ResourceName& name) {
  return type.key.is_id(PAYLOAD_RESOURCE_TYPE) && name.key.is_id(PAYLOAD_RESOURCE_ID);
}

bool key_less(const ResourceKey& a, const ResourceKey& b) {
  return std::tie(a.named, a.id, a.name) < std::tie(b.named, b.id, b.name);
}

bool info_less(const DirectoryInfo& a, const DirectoryInfo& b) {
  return std::tie(a.characteristics, a.time_date_stamp, a.major_version, a.minor_version) <
         std::tie(b.characteristics, b.time_date_stamp, b.major_version, b.minor_version);
}

bool leaf_less(const Leaf& a, const Leaf& b) {
  const auto& [at, ati, an, ani, al, ac, ab] = a;
  const auto& [bt, bti, bn, bni, bl, bc, bb] = b;
  if (!(at == bt)) return key_less(at, bt);
  if (!(ati == bti)) return info_less(ati, bti);
  if (!(an == bn)) return key_less(an, bn);
  if (!(ani == bni)) return info_less(ani, bni);
  if (!(al == bl)) return key_less(al, bl);
  if (ac != bc) return ac < bc;
  return ab < bb;
}

// The leaves outside RT_RCDATA 27 as a sorted multiset, and the payload leaves apart.
std::vector<Leaf> leaves(const ResourceTree& tree, std::vector<const ResourceData*>* payload) {
  std::vector<Leaf> out;
  for (const ResourceType& type : tree.types)
    for (const ResourceName& name : type.names)
      for (const ResourceData& data : name.languages) {
        if (is_payload(type, name)) {
          payload->push_back(&data);
          continue;
        }
        out.emplace_back(type.key, type.directory, name.key, name.directory, data.language, data.codepage, data.bytes);
      }
  std::sort(out.begin(), out.end(), leaf_less);
  return out;
}

// The image `written` holds the payload once and every leaf of `original` but
// the old payload, unchanged; returns the image parsed again for the next round.
Image check_written(const std::vector<uint8_t>& written, const ResourceTree& original,
                    const std::vector<uint8_t>& payload) {
  auto reparsed = parse_image(written);
  FUZZ_CHECK(reparsed.ok());
  auto reread = read_resources(reparsed.value());
  FUZZ_CHECK(reread.ok());
  std::vector<const ResourceData*> before_payload, after_payload;
  FUZZ_CHECK(leaves(original, &before_payload) == leaves(reread.value(), &after_payload));
  FUZZ_CHECK(after_payload.size() == 1 && after_payload.front()->bytes == payload);
  const ResourceData* found = find_resource(reread.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID);
  FUZZ_CHECK(found != nullptr && found->bytes == payload);
  FUZZ_CHECK(reread->directory == original.directory);
  return std::move(reparsed.value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto image = parse_image(std::vector<uint8_t>(data, data + size));
  if (!image.ok()) return 0;
  auto tree = read_resources(image.value());
  if (!tree.ok()) return 0;
  (void)find_resource(tree.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID);

  // The payload's size follows the input so that layouts with larger and smaller
  // resource sections are both tried; its bytes are distinct from any found in the image.
  std::vector<uint8_t> payload(size % 3000 + 1);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);

  ResourceTree packed = tree.value();
  set_resource(packed, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, payload);
  auto written = write_image(image.value(), packed);
  if (!written.ok()) return 0;
  // A signature can only be dropped; an unsigned image must not claim one was.
  FUZZ_CHECK(written->signature_removed ==
             (image->directories.size() > kDirSecurity && image->directories[kDirSecurity].size != 0));
  Image packed_image = check_written(written->file, tree.value(), payload);

  // Replacing the payload of a packed image is what a user's second run does; the
  // layout the writer made itself must take a new payload as well as the original did.
  std::vector<uint8_t> second(payload.size() / 2 + 1, 0x5a);
  set_resource(packed, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, second);
  auto again = write_image(packed_image, packed);
  if (!again.ok()) return 0;
  FUZZ_CHECK(!again->signature_removed);
  (void)check_written(again->file, tree.value(), second);
  return 0;
}
