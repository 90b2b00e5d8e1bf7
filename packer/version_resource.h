// The version resource format (RT_VERSION, VS_VERSIONINFO): a tree of nodes
// {length, value length, type, key, value, children}, read and written
// generically so that anything this tool does not set survives a rewrite.
// Bytes only; input never trusted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "packer/result.h"

namespace vorbel::pack {

// "1.2.3.4" as the fixed part stores it; missing parts are zero.
struct VersionQuad {
  uint16_t part[4] = {};
  bool operator==(const VersionQuad&) const = default;
};

// One to four numbers 0-65535 separated by dots, optionally followed by text
// that does not start with a digit or a dot ("2.1-beta" gives 2.1.0.0).
std::optional<VersionQuad> parse_version_quad(std::string_view text);

struct VersionNode {
  std::u16string key;
  bool text = false;           // wType 1: the value is UTF-16 text
  std::vector<uint8_t> value;  // as stored; text includes its terminating NUL
  std::vector<VersionNode> children;
};

// Refuses lengths that do not fit, keys without an end and a root that is not
// VS_VERSION_INFO with a VS_FIXEDFILEINFO. Failures name no file.
Result<VersionNode> parse_version_resource(std::span<const uint8_t> bytes);
std::vector<uint8_t> write_version_resource(const VersionNode& root);

// A resource with an empty fixed part (application, Windows NT), one string
// table for U.S. English in UTF-16 and the matching translation.
VersionNode empty_version_resource();

// Sets `key` in every string table (making one when there is none).
void set_version_string(VersionNode& root, std::u16string_view key, std::u16string_view value);
// Text of `key` in the first string table that has it.
std::optional<std::u16string> version_string(const VersionNode& root, std::u16string_view key);

void set_fixed_file_version(VersionNode& root, const VersionQuad& version);
void set_fixed_product_version(VersionNode& root, const VersionQuad& version);

}  // namespace vorbel::pack
