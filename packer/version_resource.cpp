// Reading and writing version resources; see version_resource.h.
// Every node starts on a 4-byte boundary and so do its value and its first
// child; wLength counts the node up to the end of its last child, and
// wValueLength counts UTF-16 units for text values but bytes for binary ones.
#include "packer/version_resource.h"

#include <algorithm>

#include "packer/pe_resources.h"

namespace vorbel::pack {
namespace {

using pe::get_u16, pe::get_u32, pe::put_u16, pe::put_u32;

constexpr size_t kNodeHeader = 6;
constexpr size_t kFixedInfoSize = 52;  // VS_FIXEDFILEINFO
constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr size_t kFixedFileVersion = 8, kFixedProductVersion = 16;
constexpr int kMaxDepth = 6;  // root, StringFileInfo, table, string: deeper is no version resource

size_t align4(size_t v) { return (v + 3) & ~size_t{3}; }

Failure bad(std::string problem) { return Failure{"", "has a version resource this tool cannot read: " + problem}; }

std::vector<uint8_t> text_value(std::u16string_view text) {
  std::vector<uint8_t> bytes((text.size() + 1) * 2, 0);
  for (size_t i = 0; i < text.size(); ++i) put_u16(bytes, 2 * i, text[i]);
  return bytes;
}

Result<VersionNode> parse_node(std::span<const uint8_t> b, size_t at, size_t limit, int depth) {
  if (depth > kMaxDepth) return bad("nested too deeply");
  if (at + kNodeHeader > limit) return bad("a node is cut short");
  const size_t length = get_u16(b, at), value_length = get_u16(b, at + 2);
  const uint16_t type = get_u16(b, at + 4);
  if (length < kNodeHeader || at + length > limit) return bad("a node's length does not fit its parent");
  const size_t end = at + length;
  VersionNode node;
  node.text = type == 1;
  size_t p = at + kNodeHeader;
  for (;; p += 2) {
    if (p + 2 > end) return bad("a key has no end");
    char16_t c = static_cast<char16_t>(get_u16(b, p));
    if (c == 0) break;
    node.key += c;
  }
  p = align4(p + 2);
  // Writers disagree on whether text lengths count the NUL or bytes; the node's end is the firm bound.
  size_t value_size = std::min(node.text ? value_length * 2 : value_length, end > p ? end - p : 0);
  if (!node.text && p + value_size > end) return bad("a value runs past its node");
  if (value_size > 0)
    node.value.assign(b.begin() + static_cast<std::ptrdiff_t>(p),
                      b.begin() + static_cast<std::ptrdiff_t>(p + value_size));
  for (p = align4(p + value_size); p < end;) {
    auto child = parse_node(b, p, end, depth + 1);
    if (!child.ok()) return child;
    p = align4(p + get_u16(b, p));
    node.children.push_back(std::move(child.value()));
  }
  return node;
}

void write_node(const VersionNode& node, std::vector<uint8_t>& out) {
  out.resize(align4(out.size()), 0);
  const size_t at = out.size();
  out.resize(at + kNodeHeader, 0);
  for (char16_t c : node.key) out.insert(out.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  out.insert(out.end(), {0, 0});
  out.resize(align4(out.size()), 0);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) write_node(child, out);
  put_u16(out, at, static_cast<uint16_t>(out.size() - at));
  put_u16(out, at + 2, static_cast<uint16_t>(node.text ? node.value.size() / 2 : node.value.size()));
  put_u16(out, at + 4, node.text ? 1 : 0);
}

VersionNode* child_named(VersionNode& node, std::u16string_view key) {
  auto found = std::find_if(node.children.begin(), node.children.end(),
                            [&](const VersionNode& child) { return child.key == key; });
  return found == node.children.end() ? nullptr : &*found;
}

void set_fixed(VersionNode& root, size_t offset, const VersionQuad& v) {
  put_u32(root.value, offset, (uint32_t{v.part[0]} << 16) | v.part[1]);
  put_u32(root.value, offset + 4, (uint32_t{v.part[2]} << 16) | v.part[3]);
}

}  // namespace

std::optional<VersionQuad> parse_version_quad(std::string_view text) {
  VersionQuad quad;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      if (value > 0xffff) return std::nullopt;
    }
    quad.part[part] = static_cast<uint16_t>(value);
    if (i == text.size() || text[i] != '.') break;
    if (part == 3) return std::nullopt;  // a fifth number
    ++i;
  }
  if (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) return std::nullopt;
  return quad;
}

Result<VersionNode> parse_version_resource(std::span<const uint8_t> bytes) {
  auto root = parse_node(bytes, 0, bytes.size(), 0);
  if (!root.ok()) return root;
  if (root->key != u"VS_VERSION_INFO") return bad("its root is not VS_VERSION_INFO");
  if (root->value.size() < kFixedInfoSize || get_u32(root->value, 0) != kFixedSignature)
    return bad("it has no fixed part (VS_FIXEDFILEINFO)");
  return root;
}

std::vector<uint8_t> write_version_resource(const VersionNode& root) {
  std::vector<uint8_t> out;
  write_node(root, out);
  return out;
}

VersionNode empty_version_resource() {
  VersionNode root{u"VS_VERSION_INFO", false, std::vector<uint8_t>(kFixedInfoSize, 0), {}};
  put_u32(root.value, 0, kFixedSignature);
  put_u32(root.value, 4, 0x00010000);   // structure version 1.0
  put_u32(root.value, 24, 0x3f);        // VS_FFI_FILEFLAGSMASK
  put_u32(root.value, 32, 0x00040004);  // VOS_NT_WINDOWS32
  put_u32(root.value, 36, 1);           // VFT_APP
  VersionNode table{u"040904B0", true, {}, {}};
  root.children.push_back(VersionNode{u"StringFileInfo", true, {}, {table}});
  std::vector<uint8_t> translation(4, 0);
  put_u16(translation, 0, 0x0409);
  put_u16(translation, 2, 1200);
  VersionNode var{u"Translation", false, translation, {}};
  root.children.push_back(VersionNode{u"VarFileInfo", true, {}, {var}});
  return root;
}

void set_version_string(VersionNode& root, std::u16string_view key, std::u16string_view value) {
  VersionNode* strings = child_named(root, u"StringFileInfo");
  if (strings == nullptr)
    strings = &root.children.insert(root.children.begin(), VersionNode{u"StringFileInfo", true, {}, {}})[0];
  if (strings->children.empty()) strings->children.push_back(VersionNode{u"040904B0", true, {}, {}});
  for (VersionNode& table : strings->children) {
    VersionNode* entry = child_named(table, key);
    if (entry == nullptr) entry = &table.children.emplace_back(VersionNode{std::u16string(key), true, {}, {}});
    entry->text = true;
    entry->value = text_value(value);
  }
}

std::optional<std::u16string> version_string(const VersionNode& root, std::u16string_view key) {
  for (const VersionNode& strings : root.children) {
    if (strings.key != u"StringFileInfo") continue;
    for (const VersionNode& table : strings.children)
      for (const VersionNode& entry : table.children) {
        if (entry.key != key) continue;
        std::u16string text;
        for (size_t i = 0; i + 1 < entry.value.size(); i += 2) {
          char16_t c = static_cast<char16_t>(get_u16(entry.value, i));
          if (c == 0) break;
          text += c;
        }
        return text;
      }
  }
  return std::nullopt;
}

void set_fixed_file_version(VersionNode& root, const VersionQuad& version) {
  set_fixed(root, kFixedFileVersion, version);
}

void set_fixed_product_version(VersionNode& root, const VersionQuad& version) {
  set_fixed(root, kFixedProductVersion, version);
}

}  // namespace vorbel::pack
