// The application's own face in a packed program: its icon, its version
// strings and numbers, and its manifest in place of the launcher's. Files are
// read and checked before anything is compressed; the edits are then applied
// to the launcher's resource tree by embed_payload.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packer/icon_group.h"
#include "packer/pe_resources.h"
#include "packer/result.h"
#include "packer/version_resource.h"

namespace vorbel::pack {

// As given on the command line (UTF-8); nothing: keep or derive.
struct VersionText {
  std::optional<std::string> product_name;
  std::optional<std::string> product_version;
  std::optional<std::string> file_version;
  std::optional<std::string> file_description;
  std::optional<std::string> company_name;
  std::optional<std::string> copyright;
  std::optional<std::string> original_filename;
  std::optional<std::string> internal_name;
};

struct VersionOption {
  std::string_view option;
  std::string_view key;  // in the version resource's string table
  std::optional<std::string> VersionText::*member;
};

inline constexpr std::array<VersionOption, 8> kVersionOptions = {{
    {"--product-name", "ProductName", &VersionText::product_name},
    {"--product-version", "ProductVersion", &VersionText::product_version},
    {"--file-version", "FileVersion", &VersionText::file_version},
    {"--file-description", "FileDescription", &VersionText::file_description},
    {"--company-name", "CompanyName", &VersionText::company_name},
    {"--copyright", "LegalCopyright", &VersionText::copyright},
    {"--original-filename", "OriginalFilename", &VersionText::original_filename},
    {"--internal-name", "InternalName", &VersionText::internal_name},
}};

struct ResourceEdits {
  std::optional<std::filesystem::path> icon;
  std::optional<std::filesystem::path> manifest;
  VersionText version;
};

struct PreparedEdits {
  std::vector<IconImage> icon;                                     // empty: keep the launcher's
  std::optional<std::vector<uint8_t>> manifest;                    // nothing: keep the launcher's
  std::vector<std::pair<std::u16string, std::u16string>> strings;  // key, value: set in every string table
  std::optional<VersionQuad> file_version;
  std::optional<VersionQuad> product_version;
};

// Reads and checks the icon and the manifest, parses the version numbers and
// fills in what is derived: OriginalFilename is the output's file name and
// InternalName its stem unless given; FileDescription follows the product
// name and FileVersion the product version when only those are given.
Result<PreparedEdits> prepare_resource_edits(const ResourceEdits& edits, const std::filesystem::path& output);

// Puts the prepared edits into the launcher's resources. Failures name no file.
Status apply_resource_edits(pe::ResourceTree& tree, const PreparedEdits& edits);

}  // namespace vorbel::pack
