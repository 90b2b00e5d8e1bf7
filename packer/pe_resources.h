// The resource tree of a Windows PE image, so that the packer can put its payload
// and resources into a launcher copy with byte manipulation alone: reading it,
// changing entries and laying it out as a section for pe_image.h's writer.
// Standard C++ only; input never trusted; errors come back as values.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "packer/pe_image.h"

namespace vorbel::pe {

// ---- resource model ---------------------------------------------------------------

// An entry of the resource tree is named either by an integer id or by a UTF-16 string.
struct ResourceKey {
  bool named = false;
  uint32_t id = 0;
  std::u16string name;

  static ResourceKey of_id(uint32_t id) { return {false, id, {}}; }
  static ResourceKey of_name(std::u16string name) { return {true, 0, std::move(name)}; }
  bool is_id(uint32_t value) const { return !named && id == value; }
  bool operator==(const ResourceKey&) const = default;
};

// Header fields of one directory table, carried over so a rewrite changes no more
// than it must (new directories keep the zero defaults: no time stamps invented).
struct DirectoryInfo {
  uint32_t characteristics = 0;
  uint32_t time_date_stamp = 0;
  uint16_t major_version = 0;
  uint16_t minor_version = 0;
  bool operator==(const DirectoryInfo&) const = default;
};

struct ResourceData {
  ResourceKey language;
  uint32_t codepage = 0;
  std::vector<uint8_t> bytes;
  // Non-zero: `bytes` is empty and the data, this many bytes, is not held
  // here; the section is laid out with a hole of that size for the caller to
  // fill as it writes the file (a payload larger than memory should hold).
  uint64_t streamed_size = 0;
  uint64_t size() const { return streamed_size != 0 ? streamed_size : bytes.size(); }
};

struct ResourceName {
  ResourceKey key;
  DirectoryInfo directory;  // of the language table below this name
  std::vector<ResourceData> languages;
};

struct ResourceType {
  ResourceKey key;
  DirectoryInfo directory;  // of the name table below this type
  std::vector<ResourceName> names;
};

struct ResourceTree {
  DirectoryInfo directory;  // of the root table
  std::vector<ResourceType> types;
};

// The tree of an image without resources is empty, not an error.
Result<ResourceTree> read_resources(const Image& image);

// First language of (type id, name id), or nullptr.
const ResourceData* find_resource(const ResourceTree& tree, uint32_t type_id, uint32_t name_id);

// Leaves exactly one language under (type id, name id), holding `bytes`.
void set_resource(ResourceTree& tree, uint32_t type_id, uint32_t name_id, uint32_t language,
                  std::vector<uint8_t> bytes);

// The data of a resource that is streamed in later (see ResourceData::streamed_size).
void set_streamed_resource(ResourceTree& tree, uint32_t type_id, uint32_t name_id, uint32_t language, uint64_t size);

// A resource section without the bytes of its streamed resource, if any: the
// whole section is `bytes` with the streamed resource's `hole_size` bytes
// inserted at `hole_at`.
struct ResourceSection {
  std::vector<uint8_t> bytes;
  uint64_t hole_at = 0;
  uint64_t hole_size = 0;
  uint64_t size() const { return bytes.size() + hole_size; }
};

// Lays the tree out as a resource section image to be mapped at `section_rva`;
// at most one resource may be streamed.
Result<ResourceSection> lay_out_resource_section(const ResourceTree& tree, uint32_t section_rva);

// The same for a tree without a streamed resource: the whole section.
Result<std::vector<uint8_t>> build_resource_section(const ResourceTree& tree, uint32_t section_rva);

}  // namespace vorbel::pe
