// Icon, version and manifest edits of the launcher's resources; see
// resource_edits.h. The formats live in icon_group and version_resource; this
// file decides which resources go and which names and languages they keep.
#include "packer/resource_edits.h"

#include <algorithm>

#include "packer/launcher_image.h"
#include "packer/platform.h"
#include "packer/utf.h"

namespace vorbel::pack {
namespace fs = std::filesystem;
namespace {

constexpr uint32_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;
constexpr uint32_t kLanguageUsEnglish = 0x409;
constexpr uint16_t kFirstIconId = 1;
// Keeps the version resource far below its 64 KiB node limit whatever is given.
constexpr size_t kMaxVersionText = 1000;

// Name and language of the first resource of `type`, so a replacement sits where the old one was.
struct Slot {
  pe::ResourceKey name = pe::ResourceKey::of_id(1);
  pe::ResourceKey language = pe::ResourceKey::of_id(kLanguageUsEnglish);
  const std::vector<uint8_t>* bytes = nullptr;
};

Slot first_of(const pe::ResourceTree& tree, uint32_t type) {
  Slot slot;
  for (const pe::ResourceType& t : tree.types) {
    if (!t.key.is_id(type)) continue;
    for (const pe::ResourceName& n : t.names) {
      if (n.languages.empty()) continue;
      return Slot{n.key, n.languages.front().language, &n.languages.front().bytes};
    }
  }
  return slot;
}

void remove_type(pe::ResourceTree& tree, uint32_t type) {
  std::erase_if(tree.types, [&](const pe::ResourceType& t) { return t.key.is_id(type); });
}

pe::ResourceType& type_of(pe::ResourceTree& tree, uint32_t type) {
  for (pe::ResourceType& t : tree.types)
    if (t.key.is_id(type)) return t;
  return tree.types.emplace_back(pe::ResourceType{pe::ResourceKey::of_id(type), {}, {}});
}

void add(pe::ResourceTree& tree, uint32_t type, pe::ResourceKey name, pe::ResourceKey language,
         std::vector<uint8_t> bytes) {
  type_of(tree, type)
      .names.push_back(
          pe::ResourceName{std::move(name), {}, {pe::ResourceData{std::move(language), 0, std::move(bytes)}}});
}

// A manifest the loader will not refuse outright: UTF-8 XML whose root is an
// assembly in the side-by-side namespace. Windows refuses to start a program
// whose manifest it cannot parse, so this is checked rather than trusted.
std::optional<std::string> manifest_problem(const std::vector<uint8_t>& bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (!utf8_to_utf16(text)) return "is not UTF-8 text";
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return "is empty";
  if (text[first] != '<') return "is not XML: it does not start with '<'";
  if (text.find("assembly") == std::string_view::npos ||
      text.find("urn:schemas-microsoft-com:asm.v1") == std::string_view::npos)
    return "is not an application manifest: it has no assembly element in urn:schemas-microsoft-com:asm.v1";
  return std::nullopt;
}

}  // namespace

Result<PreparedEdits> prepare_resource_edits(const ResourceEdits& edits, const fs::path& output) {
  PreparedEdits prepared;
  if (edits.icon) {
    auto file = read_whole_file(*edits.icon);
    if (!file.ok()) return file.failure();
    auto images = parse_ico(file.value());
    if (!images.ok()) return about(platform::show(*edits.icon), images.failure());
    prepared.icon = std::move(images.value());
  }
  if (edits.manifest) {
    auto file = read_whole_file(*edits.manifest);
    if (!file.ok()) return file.failure();
    if (auto problem = manifest_problem(file.value())) return Failure{platform::show(*edits.manifest), *problem};
    prepared.manifest = std::move(file.value());
  }

  VersionText text = edits.version;
  const std::string file_name = utf16_to_utf8(platform::name_as_utf16(output.filename()).value_or(u"")).value_or("");
  const std::string stem = utf16_to_utf8(platform::name_as_utf16(output.stem()).value_or(u"")).value_or("");
  if (!text.original_filename && !file_name.empty()) text.original_filename = file_name;
  if (!text.internal_name && !stem.empty()) text.internal_name = stem;
  if (!text.file_description) text.file_description = text.product_name;
  if (!text.file_version) text.file_version = text.product_version;
  for (const VersionOption& option : kVersionOptions) {
    const std::optional<std::string>& value = text.*option.member;
    if (!value) continue;
    auto wide = utf8_to_utf16(*value);
    if (!wide) return Failure{std::string(option.option), "'" + printable(*value) + "' is not valid UTF-8"};
    if (wide->size() > kMaxVersionText)
      return Failure{std::string(option.option), "is longer than " + std::to_string(kMaxVersionText) + " characters"};
    prepared.strings.emplace_back(std::u16string(option.key.begin(), option.key.end()), std::move(*wide));
  }
  const auto quad = [&](const std::optional<std::string>& value, const char* option,
                        std::optional<VersionQuad>* slot) -> std::optional<Failure> {
    if (!value) return std::nullopt;
    *slot = parse_version_quad(*value);
    if (*slot) return std::nullopt;
    return Failure{option, "'" + printable(*value) +
                               "' does not start with one to four numbers from 0 to 65535 separated by dots "
                               "(such as 2.1 or 2.1.0.7, optionally followed by text such as -beta)"};
  };
  // The product version first: the file version may be the same text, taken from it.
  if (auto failure = quad(text.product_version, "--product-version", &prepared.product_version)) return *failure;
  if (auto failure = quad(text.file_version, "--file-version", &prepared.file_version)) return *failure;
  return prepared;
}

Status apply_resource_edits(pe::ResourceTree& tree, const PreparedEdits& edits) {
  if (!edits.icon.empty()) {
    // Every image goes with the group: a leftover RT_ICON would only take space.
    Slot group = first_of(tree, kTypeGroupIcon);
    remove_type(tree, kTypeGroupIcon);
    remove_type(tree, kTypeIcon);
    for (size_t i = 0; i < edits.icon.size(); ++i)
      add(tree, kTypeIcon, pe::ResourceKey::of_id(static_cast<uint32_t>(kFirstIconId + i)), group.language,
          edits.icon[i].bytes);
    add(tree, kTypeGroupIcon, group.name, group.language, icon_group_resource(edits.icon, kFirstIconId));
  }
  if (edits.manifest) {
    Slot manifest = first_of(tree, kTypeManifest);
    remove_type(tree, kTypeManifest);
    add(tree, kTypeManifest, manifest.name, manifest.language, *edits.manifest);
  }
  if (!edits.strings.empty() || edits.file_version || edits.product_version) {
    Slot slot = first_of(tree, kTypeVersion);
    VersionNode version = empty_version_resource();
    if (slot.bytes) {
      auto parsed = parse_version_resource(*slot.bytes);
      if (!parsed.ok()) return parsed.failure();
      version = std::move(parsed.value());
    }
    for (const auto& [key, value] : edits.strings) set_version_string(version, key, value);
    if (edits.file_version) set_fixed_file_version(version, *edits.file_version);
    if (edits.product_version) set_fixed_product_version(version, *edits.product_version);
    remove_type(tree, kTypeVersion);
    add(tree, kTypeVersion, slot.name, slot.language, write_version_resource(version));
  }
  return done();
}

}  // namespace vorbel::pack
