// Property: for any bytes, walk_pe_imports ends (walked, not a PE image, or
// damaged) without reading outside the bytes it is given, and hands on only
// names of 1 to 255 bytes. For an image that the build tool's parser accepts,
// the names are those a walk of its own (through the parser's section lookup)
// finds in the import and delay-import tables, in the same order, and the walk
// ends damaged exactly when that one finds a table or name it cannot finish.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/capacities.h"
#include "fuzz/fuzz_check.h"
#include "packer/pe_resources.h"
#include "payload/pe_import_walk.h"

namespace {

using namespace vorbel::pe;

struct Bytes {
  const uint8_t* data;
  size_t size;
};

bool read_bytes(void* context, uint64_t offset, void* buffer, size_t size) {
  const Bytes* bytes = static_cast<const Bytes*>(context);
  if (offset > bytes->size || bytes->size - offset < size) return false;
  std::memcpy(buffer, bytes->data + offset, size);
  return true;
}

bool take(void* context, const char* name) {
  size_t length = std::strlen(name);
  FUZZ_CHECK(length >= 1 && length < PE_IMPORT_NAME_CAPACITY);
  static_cast<std::vector<std::string>*>(context)->push_back(name);
  return true;
}

// The model: the same tables read through the parser's own bytes_from_rva.
std::optional<std::string> model_name(const Image& image, uint32_t rva) {
  std::span<const uint8_t> bytes = bytes_from_rva(image, rva);
  for (size_t i = 0; i < bytes.size() && i < PE_IMPORT_NAME_CAPACITY; ++i) {
    if (bytes[i] == 0) return i == 0 ? std::nullopt : std::optional(std::string(bytes.begin(), bytes.begin() + i));
  }
  return std::nullopt;
}

bool model_table(const Image& image, size_t slot, size_t descriptor_size, size_t name_field,
                 std::vector<std::string>* names) {
  uint32_t rva = directory_of(image, slot).virtual_address;
  if (rva == 0) return true;
  std::span<const uint8_t> table = bytes_from_rva(image, rva);
  if (table.empty()) return false;
  for (size_t at = 0;; at += descriptor_size) {
    if (table.size() - at < descriptor_size) return false;
    uint32_t name_rva = get_u32(table, at + name_field);
    if (name_rva == 0) return true;
    auto name = model_name(image, name_rva);
    if (!name) return false;
    names->push_back(*name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes bytes = {data, size};
  PeFile file = {read_bytes, &bytes};
  std::vector<std::string> names;
  PeImportWalkEnd end = walk_pe_imports(&file, take, &names);
  FUZZ_CHECK(end == PE_IMPORTS_WALKED || end == PE_IMPORTS_NOT_PE || end == PE_IMPORTS_DAMAGED);

  auto image = parse_image(std::vector<uint8_t>(data, data + size));
  if (!image.ok()) return 0;
  FUZZ_CHECK(end != PE_IMPORTS_NOT_PE);
  std::vector<std::string> expected;
  bool whole = model_table(image.value(), kDirImport, 20, 12, &expected) &&
               model_table(image.value(), kDirDelayImport, 32, 4, &expected);
  FUZZ_CHECK(whole == (end == PE_IMPORTS_WALKED));
  // Up to where either stopped, both read the same names.
  size_t common = names.size() < expected.size() ? names.size() : expected.size();
  for (size_t i = 0; i < common; ++i) FUZZ_CHECK(names[i] == expected[i]);
  if (whole) FUZZ_CHECK(names == expected);
  return 0;
}
