// The version resource reader of version_strings.h. Every node starts on a
// 4-byte boundary, as do its value and its first child; wLength bounds the
// node with its children. Writers disagree on whether a text value's length
// counts units or bytes, so the node's end is the only firm bound.
#include "common/version_strings.h"

namespace {

constexpr size_t NODE_HEADER = 6;  // wLength, wValueLength, wType

struct VersionNode {
  size_t key;       // offset of the key's first unit
  size_t value;     // offset of the value
  size_t children;  // offset of the first child
  size_t end;       // one past the node and its children
  bool text;        // the value holds UTF-16 units (wType 1)
};

unsigned unit_at(const uint8_t* block, size_t at) { return block[at] | static_cast<unsigned>(block[at + 1]) << 8; }

size_t aligned(size_t offset, size_t end) {
  size_t next = (offset + 3) & ~static_cast<size_t>(3);
  return next < end ? next : end;
}

// The node at `at`, which must end by `limit`.
bool read_node(const uint8_t* block, size_t at, size_t limit, VersionNode* node) {
  if (at > limit || limit - at < NODE_HEADER) return false;
  size_t length = unit_at(block, at);
  if (length < NODE_HEADER || length > limit - at) return false;
  node->end = at + length;
  node->text = unit_at(block, at + 4) == 1;
  node->key = at + NODE_HEADER;
  size_t key_end = node->key;
  for (;; key_end += 2) {
    if (node->end - key_end < 2) return false;
    if (unit_at(block, key_end) == 0) break;
  }
  node->value = aligned(key_end + 2, node->end);
  size_t value_length = unit_at(block, at + 2);
  size_t value_size = node->text ? value_length * 2 : value_length;
  if (value_size > node->end - node->value) value_size = node->end - node->value;
  node->children = aligned(node->value + value_size, node->end);
  return true;
}

bool key_is(const uint8_t* block, const VersionNode& node, const char* key) {
  size_t at = node.key;
  for (; *key != '\0'; ++key, at += 2) {
    if (unit_at(block, at) != static_cast<unsigned char>(*key)) return false;
  }
  return unit_at(block, at) == 0;  // within the node: read_node found this key's NUL
}

// Each child of parent in turn, from *at; false after the last one (or at a
// child that does not fit, after which nothing more is trusted).
bool next_child(const uint8_t* block, const VersionNode& parent, size_t* at, VersionNode* child) {
  if (!read_node(block, *at, parent.end, child)) return false;
  *at = aligned(child->end, parent.end);
  return true;
}

}  // namespace

bool find_version_string(const uint8_t* block, size_t size, const char* key, const uint8_t** text, size_t* units) {
  VersionNode root;
  if (block == nullptr || !read_node(block, 0, size, &root) || !key_is(block, root, "VS_VERSION_INFO")) return false;
  VersionNode strings, table, entry;
  for (size_t at = root.children; next_child(block, root, &at, &strings);) {
    if (!key_is(block, strings, "StringFileInfo")) continue;
    for (size_t table_at = strings.children; next_child(block, strings, &table_at, &table);) {
      for (size_t entry_at = table.children; next_child(block, table, &entry_at, &entry);) {
        if (!key_is(block, entry, key)) continue;
        size_t count = 0;
        while (entry.end - entry.value >= 2 * (count + 1) && unit_at(block, entry.value + 2 * count) != 0) ++count;
        *text = block + entry.value;
        *units = count;
        return true;
      }
    }
  }
  return false;
}
