// The resource tree of a PE image for the packer: reading it from an image and
// laying it out as a resource section again. Every offset taken from the file is
// bounds-checked before use; nothing here throws on bad input, reads the clock, or
// depends on the host's byte order or struct layout.
#include "packer/pe_resources.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <set>

namespace vorbel::pe {
namespace {

// ---- on-disk structures used only here (layout via offsetof, access via get/put) ---

struct ResourceDirectoryTable {
  uint32_t characteristics;          // reserved, kept as found
  uint32_t time_date_stamp;          // kept as found, 0 for new tables
  uint16_t major_version;            // kept as found
  uint16_t minor_version;            // kept as found
  uint16_t number_of_named_entries;  // named entries come first
  uint16_t number_of_id_entries;     // then id entries
};
static_assert(sizeof(ResourceDirectoryTable) == 16);

struct ResourceDirectoryEntry {
  uint32_t name;            // high bit: offset of a name string, else an integer id
  uint32_t offset_to_data;  // high bit: offset of a sub-table, else of a data entry
};
static_assert(sizeof(ResourceDirectoryEntry) == 8);

struct ResourceDataEntry {
  uint32_t offset_to_data;  // an RVA, unlike every other offset in the tree
  uint32_t size;            // bytes
  uint32_t code_page;       // usually 0
  uint32_t reserved;        // 0
};
static_assert(sizeof(ResourceDataEntry) == 16);

constexpr uint32_t kHighBit = 0x80000000u;

Error fail(std::string message) { return Error{std::move(message)}; }

// ---- resource tree reading ---------------------------------------------------------

// Offsets inside the tree are relative to the resource directory's RVA. Every table
// and data entry may be visited once: with the depth fixed at three, a repeated
// offset is the only way a hostile file can loop or multiply its size.
class TreeReader {
 public:
  TreeReader(const Image& image, uint32_t base_rva) : image_(image), base_(base_rva) {}

  Result<ResourceTree> run() {
    ResourceTree tree;
    std::vector<RawEntry> types, names, languages;
    if (auto e = read_table(0, tree.directory, types)) return *e;
    for (const RawEntry& t : types) {
      if (!t.is_table) return fail("resource tree has data where a type table belongs");
      ResourceType& type = tree.types.emplace_back(ResourceType{t.key, {}, {}});
      if (auto e = read_table(t.target, type.directory, names)) return *e;
      for (const RawEntry& n : names) {
        if (!n.is_table) return fail("resource tree has data where a name table belongs");
        ResourceName& name = type.names.emplace_back(ResourceName{n.key, {}, {}});
        if (auto e = read_table(n.target, name.directory, languages)) return *e;
        for (const RawEntry& l : languages) {
          if (l.is_table) return fail("resource tree is deeper than type/name/language");
          ResourceData& data = name.languages.emplace_back(ResourceData{l.key, 0, {}});
          if (auto e = read_data(l.target, data)) return *e;
        }
      }
    }
    return tree;
  }

 private:
  struct RawEntry {
    ResourceKey key;
    bool is_table = false;
    uint32_t target = 0;
  };

  std::optional<uint64_t> locate(uint64_t offset, uint64_t len) const {
    return map_rva(image_.sections, uint64_t{base_} + offset, len);
  }

  std::optional<Error> claim(uint32_t offset) {
    if (!visited_.insert(offset).second)
      return fail("resource tree refers to offset " + hex(offset) + " twice (cycle or shared entry)");
    return std::nullopt;
  }

  std::optional<Error> read_table(uint32_t offset, DirectoryInfo& info, std::vector<RawEntry>& out) {
    out.clear();
    if (auto e = claim(offset)) return e;
    std::span<const uint8_t> f(image_.file);
    auto at = locate(offset, sizeof(ResourceDirectoryTable));
    if (!at) return fail("resource table at offset " + hex(offset) + " lies outside the image");
    info.characteristics = get_u32(f, *at + offsetof(ResourceDirectoryTable, characteristics));
    info.time_date_stamp = get_u32(f, *at + offsetof(ResourceDirectoryTable, time_date_stamp));
    info.major_version = get_u16(f, *at + offsetof(ResourceDirectoryTable, major_version));
    info.minor_version = get_u16(f, *at + offsetof(ResourceDirectoryTable, minor_version));
    uint64_t count = uint64_t{get_u16(f, *at + offsetof(ResourceDirectoryTable, number_of_named_entries))} +
                     get_u16(f, *at + offsetof(ResourceDirectoryTable, number_of_id_entries));
    if (!locate(offset, sizeof(ResourceDirectoryTable) + count * sizeof(ResourceDirectoryEntry)))
      return fail("resource table at offset " + hex(offset) + " has entries past the end of its section");
    for (uint64_t i = 0; i < count; ++i) {
      size_t entry = *at + sizeof(ResourceDirectoryTable) + i * sizeof(ResourceDirectoryEntry);
      uint32_t name = get_u32(f, entry + offsetof(ResourceDirectoryEntry, name));
      uint32_t target = get_u32(f, entry + offsetof(ResourceDirectoryEntry, offset_to_data));
      RawEntry raw{ResourceKey::of_id(name), (target & kHighBit) != 0, target & ~kHighBit};
      if (name & kHighBit) {
        auto key = read_name(name & ~kHighBit);
        if (!key.ok()) return fail(key.error());
        raw.key = std::move(key.value());
      }
      out.push_back(std::move(raw));
    }
    return std::nullopt;
  }

  Result<ResourceKey> read_name(uint32_t offset) const {
    std::span<const uint8_t> f(image_.file);
    auto at = locate(offset, 2);
    if (!at) return fail("resource name at offset " + hex(offset) + " lies outside the image");
    uint16_t len = get_u16(f, *at);
    if (!locate(offset, 2 + uint64_t{len} * 2))
      return fail("resource name at offset " + hex(offset) + " runs past the end of its section");
    std::u16string name(len, u'\0');
    for (uint16_t i = 0; i < len; ++i) name[i] = static_cast<char16_t>(get_u16(f, *at + 2 + 2 * i));
    return ResourceKey::of_name(std::move(name));
  }

  std::optional<Error> read_data(uint32_t offset, ResourceData& data) {
    if (auto e = claim(offset)) return e;
    std::span<const uint8_t> f(image_.file);
    auto at = locate(offset, sizeof(ResourceDataEntry));
    if (!at) return fail("resource data entry at offset " + hex(offset) + " lies outside the image");
    uint32_t rva = get_u32(f, *at + offsetof(ResourceDataEntry, offset_to_data));
    uint32_t size = get_u32(f, *at + offsetof(ResourceDataEntry, size));
    data.codepage = get_u32(f, *at + offsetof(ResourceDataEntry, code_page));
    auto bytes = map_rva(image_.sections, rva, size);
    if (!bytes)
      return fail("resource data at RVA " + hex(rva) + " (" + std::to_string(size) +
                  " bytes) lies outside the image's sections");
    // Distinct entries may still alias one block; cap the total so a crafted file
    // cannot make us allocate far more than it contains.
    total_ += size;
    if (total_ > image_.file.size()) return fail("resource data blocks overlap implausibly");
    data.bytes.assign(f.begin() + static_cast<std::ptrdiff_t>(*bytes),
                      f.begin() + static_cast<std::ptrdiff_t>(*bytes + size));
    return std::nullopt;
  }

  const Image& image_;
  uint32_t base_;
  std::set<uint32_t> visited_;
  uint64_t total_ = 0;
};

// ---- resource tree serialisation ---------------------------------------------------

char16_t fold(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

// The order the loader's binary search expects: names (case-insensitive) before ids.
bool key_less(const ResourceKey& a, const ResourceKey& b) {
  if (a.named != b.named) return a.named;
  if (!a.named) return a.id < b.id;
  return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                      [](char16_t x, char16_t y) { return fold(x) < fold(y); });
}

template <class T, class KeyOf>
std::vector<const T*> sorted(const std::vector<T>& items, KeyOf key_of) {
  std::vector<const T*> out;
  for (const T& item : items) out.push_back(&item);
  std::stable_sort(out.begin(), out.end(), [&](const T* a, const T* b) { return key_less(key_of(*a), key_of(*b)); });
  return out;
}

class SectionBuilder {
 public:
  explicit SectionBuilder(uint32_t rva) : rva_(rva) {}

  Result<ResourceSection> build(const ResourceTree& tree) {
    auto types = sorted(tree.types, [](const ResourceType& t) -> const ResourceKey& { return t.key; });
    std::vector<std::vector<const ResourceName*>> names;      // per type
    std::vector<std::vector<const ResourceData*>> languages;  // per name, all types in a row
    for (const ResourceType* t : types) {
      names.push_back(sorted(t->names, [](const ResourceName& n) -> const ResourceKey& { return n.key; }));
      for (const ResourceName* n : names.back())
        languages.push_back(
            sorted(n->languages, [](const ResourceData& d) -> const ResourceKey& { return d.language; }));
    }

    // Layout, in the order linkers use: all tables breadth first, data entries, name
    // strings, then the data blocks, each 8-aligned.
    uint64_t cursor = table_size(types.size());
    std::vector<uint64_t> name_table_at, language_table_at;
    for (const auto& list : names) {
      name_table_at.push_back(cursor);
      cursor += table_size(list.size());
    }
    for (const auto& list : languages) {
      language_table_at.push_back(cursor);
      cursor += table_size(list.size());
    }
    uint64_t data_entries = 0, strings = 0, blocks = 0;
    auto count_key = [&](const ResourceKey& k) { strings += k.named ? 2 + 2 * uint64_t{k.name.size()} : 0; };
    for (const ResourceType* t : types) count_key(t->key);
    for (const auto& list : names)
      for (const ResourceName* n : list) count_key(n->key);
    for (const auto& list : languages)
      for (const ResourceData* d : list) {
        count_key(d->language);
        ++data_entries;
        blocks = align_up(blocks, 8) + d->size();
        if (d->streamed_size == 0) continue;
        if (hole_size_ != 0) return fail("more than one streamed resource");
        hole_size_ = d->streamed_size;
      }
    entry_cursor_ = cursor;
    string_cursor_ = cursor + data_entries * sizeof(ResourceDataEntry);
    block_cursor_ = align_up(string_cursor_ + strings, 8);
    const uint64_t total = block_cursor_ + blocks;
    if (uint64_t{rva_} + total > kMaxImageBytes) {
      return Error{"the resources would take " + std::to_string(total) + " bytes from offset " + hex(rva_) +
                       " in memory, past the " + std::to_string(kMaxImageBytes) + " bytes (2 GiB) Windows can load",
                   true};
    }
    out_.assign(total - hole_size_, 0);

    if (auto e = write_table(0, tree.directory, types, [&](size_t i) { return name_table_at[i] | kHighBit; }))
      return *e;
    size_t first = 0;  // index into `languages` of the current type's first name
    for (size_t i = 0; i < types.size(); ++i) {
      if (auto e = write_table(name_table_at[i], types[i]->directory, names[i],
                               [&](size_t j) { return language_table_at[first + j] | kHighBit; }))
        return *e;
      first += names[i].size();
    }
    size_t k = 0;
    for (const auto& list : names) {
      for (const ResourceName* n : list) {
        if (auto e = write_table(language_table_at[k], n->directory, languages[k],
                                 [&](size_t j) { return write_data(*languages[k][j]); }))
          return *e;
        ++k;
      }
    }
    return ResourceSection{std::move(out_), hole_at_, hole_size_};
  }

 private:
  static uint64_t table_size(size_t entries) {
    return sizeof(ResourceDirectoryTable) + entries * sizeof(ResourceDirectoryEntry);
  }

  static const ResourceKey& key_of(const ResourceType* t) { return t->key; }
  static const ResourceKey& key_of(const ResourceName* n) { return n->key; }
  static const ResourceKey& key_of(const ResourceData* d) { return d->language; }

  template <class T, class Target>
  std::optional<Error> write_table(uint64_t at, const DirectoryInfo& info, const std::vector<const T*>& entries,
                                   Target target_of) {
    size_t named =
        static_cast<size_t>(std::count_if(entries.begin(), entries.end(), [](const T* e) { return key_of(e).named; }));
    if (named > 0xffff || entries.size() - named > 0xffff) return fail("too many entries in one resource table");
    std::span<uint8_t> o(out_);
    put_u32(o, at + offsetof(ResourceDirectoryTable, characteristics), info.characteristics);
    put_u32(o, at + offsetof(ResourceDirectoryTable, time_date_stamp), info.time_date_stamp);
    put_u16(o, at + offsetof(ResourceDirectoryTable, major_version), info.major_version);
    put_u16(o, at + offsetof(ResourceDirectoryTable, minor_version), info.minor_version);
    put_u16(o, at + offsetof(ResourceDirectoryTable, number_of_named_entries), static_cast<uint16_t>(named));
    put_u16(o, at + offsetof(ResourceDirectoryTable, number_of_id_entries),
            static_cast<uint16_t>(entries.size() - named));
    for (size_t i = 0; i < entries.size(); ++i) {
      uint64_t entry = at + sizeof(ResourceDirectoryTable) + i * sizeof(ResourceDirectoryEntry);
      auto name = name_field(key_of(entries[i]));
      if (!name.ok()) return fail(name.error());
      put_u32(o, entry + offsetof(ResourceDirectoryEntry, name), name.value());
      put_u32(o, entry + offsetof(ResourceDirectoryEntry, offset_to_data), static_cast<uint32_t>(target_of(i)));
    }
    return std::nullopt;
  }

  Result<uint32_t> name_field(const ResourceKey& key) {
    if (!key.named) {
      if (key.id & kHighBit) return fail("resource id " + hex(key.id) + " is out of range");
      return key.id;
    }
    if (key.name.size() > 0xffff) return fail("resource name longer than 65535 characters");
    std::span<uint8_t> o(out_);
    uint64_t at = string_cursor_;
    put_u16(o, at, static_cast<uint16_t>(key.name.size()));
    for (size_t i = 0; i < key.name.size(); ++i) put_u16(o, at + 2 + 2 * i, key.name[i]);
    string_cursor_ += 2 + 2 * key.name.size();
    return static_cast<uint32_t>(at) | kHighBit;
  }

  uint64_t write_data(const ResourceData& d) {
    std::span<uint8_t> o(out_);
    uint64_t entry = entry_cursor_;
    entry_cursor_ += sizeof(ResourceDataEntry);
    block_cursor_ = align_up(block_cursor_, 8);
    put_u32(o, entry + offsetof(ResourceDataEntry, offset_to_data), static_cast<uint32_t>(rva_ + block_cursor_));
    put_u32(o, entry + offsetof(ResourceDataEntry, size), static_cast<uint32_t>(d.size()));
    put_u32(o, entry + offsetof(ResourceDataEntry, code_page), d.codepage);
    if (d.streamed_size != 0) {
      hole_at_ = block_cursor_;
    } else {
      // Tables, entries and strings all come before the blocks, so only a
      // block can lie past the hole.
      uint64_t at = block_cursor_ > hole_at_ && hole_at_ != 0 ? block_cursor_ - hole_size_ : block_cursor_;
      std::copy(d.bytes.begin(), d.bytes.end(), out_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    block_cursor_ += d.size();
    return entry;
  }

  uint32_t rva_;
  std::vector<uint8_t> out_;
  uint64_t entry_cursor_ = 0, string_cursor_ = 0, block_cursor_ = 0;
  uint64_t hole_at_ = 0, hole_size_ = 0;  // hole_at_ is never 0 once set: the root table comes first
};

}  // namespace

Result<ResourceTree> read_resources(const Image& image) {
  DataDirectory rd = directory_of(image, kDirResource);
  if (rd.virtual_address == 0) return ResourceTree{};
  return TreeReader(image, rd.virtual_address).run();
}

const ResourceData* find_resource(const ResourceTree& tree, uint32_t type_id, uint32_t name_id) {
  for (const ResourceType& t : tree.types) {
    if (!t.key.is_id(type_id)) continue;
    for (const ResourceName& n : t.names)
      if (n.key.is_id(name_id) && !n.languages.empty()) return &n.languages.front();
  }
  return nullptr;
}

namespace {

ResourceData& put_resource(ResourceTree& tree, uint32_t type_id, uint32_t name_id, uint32_t language,
                           std::vector<uint8_t> bytes) {
  // Every language, and any duplicate (type, name) entry a malformed input carried,
  // must go: a leftover could shadow the payload or outlive it.
  ResourceName* kept = nullptr;
  for (ResourceType& t : tree.types) {
    if (!t.key.is_id(type_id)) continue;
    for (auto n = t.names.begin(); n != t.names.end();) {
      if (!n->key.is_id(name_id)) {
        ++n;
      } else if (!kept) {
        kept = &*n++;
      } else {
        n = t.names.erase(n);
      }
    }
  }
  if (!kept) {
    auto type =
        std::find_if(tree.types.begin(), tree.types.end(), [&](const ResourceType& t) { return t.key.is_id(type_id); });
    if (type == tree.types.end())
      type = tree.types.insert(tree.types.end(), ResourceType{ResourceKey::of_id(type_id), {}, {}});
    kept = &type->names.emplace_back(ResourceName{ResourceKey::of_id(name_id), {}, {}});
  }
  kept->languages.clear();
  return kept->languages.emplace_back(ResourceData{ResourceKey::of_id(language), 0, std::move(bytes)});
}

}  // namespace

void set_resource(ResourceTree& tree, uint32_t type_id, uint32_t name_id, uint32_t language,
                  std::vector<uint8_t> bytes) {
  put_resource(tree, type_id, name_id, language, std::move(bytes));
}

void set_streamed_resource(ResourceTree& tree, uint32_t type_id, uint32_t name_id, uint32_t language, uint64_t size) {
  put_resource(tree, type_id, name_id, language, {}).streamed_size = size;
}

Result<ResourceSection> lay_out_resource_section(const ResourceTree& tree, uint32_t section_rva) {
  return SectionBuilder(section_rva).build(tree);
}

Result<std::vector<uint8_t>> build_resource_section(const ResourceTree& tree, uint32_t section_rva) {
  auto section = SectionBuilder(section_rva).build(tree);
  if (!section.ok()) return Error{section.error(), section.too_large()};
  if (section->hole_size != 0) return fail("a streamed resource needs lay_out_resource_section");
  return std::move(section->bytes);
}

}  // namespace vorbel::pe
