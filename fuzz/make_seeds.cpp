// Writes the seed corpora of the fuzz targets: small well-formed PE images with
// resources, payload resources and entry names. A fuzzer that starts from valid
// inputs reaches the deep code paths within seconds instead of hours.
// Usage: make_seeds <fuzz/corpus>; it rewrites only the seed files it names.
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_payload.h"
#include "packer/pe_resources.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace vorbel;

void save(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// ---- PE images ------------------------------------------------------------------

struct ImageShape {
  bool pe32 = false;
  bool reloc = true;        // .reloc after .rsrc: the resources can be rewritten in place
  bool data_after = false;  // a section after .rsrc that cannot move: a new section is appended
  bool overlay = false;
  bool certificate = false;
};

pe::ResourceTree sample_tree(bool with_payload) {
  pe::ResourceTree tree;
  auto data = [](uint32_t language, Bytes bytes) {
    return pe::ResourceData{pe::ResourceKey::of_id(language), 0, std::move(bytes)};
  };
  tree.types.push_back(
      {pe::ResourceKey::of_id(24), {}, {{pe::ResourceKey::of_id(1), {}, {data(0x409, text("<xml/>"))}}}});
  tree.types.push_back({pe::ResourceKey::of_name(u"ICONS"),
                        {},
                        {{pe::ResourceKey::of_name(u"logo"), {}, {data(0, {1, 2, 3}), data(0x407, {4})}}}});
  if (with_payload) {
    tree.types.push_back({pe::ResourceKey::of_id(pe::kTypeRcdata),
                          {},
                          {{pe::ResourceKey::of_id(pe::kPayloadId), {}, {data(0, text("VUQ"))}}}});
  }
  return tree;
}

Bytes make_image(const ImageShape& shape, const pe::ResourceTree& tree) {
  constexpr size_t kLfanew = 0x80, kFileHeader = 0x84, kOpt = 0x98;
  Bytes f(0x400, 0);
  std::vector<pe::SectionHeader> sections;
  std::vector<std::pair<size_t, pe::DataDirectory>> directories;
  uint32_t va = 0x1000;
  auto add = [&](const char* name, const Bytes& data, uint32_t flags, int slot) {
    pe::SectionHeader s;
    std::copy_n(name, std::char_traits<char>::length(name), s.name);
    s.virtual_address = va;
    s.virtual_size = static_cast<uint32_t>(data.size());
    s.pointer_to_raw_data = static_cast<uint32_t>(f.size());
    f.insert(f.end(), data.begin(), data.end());
    f.resize((f.size() + 0x1ff) & ~size_t{0x1ff});
    s.size_of_raw_data = static_cast<uint32_t>(f.size() - s.pointer_to_raw_data);
    s.characteristics = flags;
    sections.push_back(s);
    if (slot >= 0) directories.push_back({static_cast<size_t>(slot), {va, s.virtual_size}});
    va += (s.virtual_size + 0xfff) & ~0xfffu;
  };
  add(".text", Bytes(0x20, 0xc3), 0x60000020, -1);
  add(".rsrc", pe::build_resource_section(tree, va).value(), 0x40000040, pe::kDirResource);
  if (shape.reloc) add(".reloc", {0x00, 0x10, 0, 0, 12, 0, 0, 0, 0x00, 0xa0, 0, 0}, 0x42000040, pe::kDirBaseReloc);
  if (shape.data_after) add(".idata", Bytes(0x40, 7), 0xc0000040, 1);
  if (shape.overlay) f.insert(f.end(), {'o', 'v', 'e', 'r', 'l', 'a', 'y'});
  if (shape.certificate) {
    directories.push_back({pe::kDirSecurity, {static_cast<uint32_t>(f.size()), 16}});
    f.insert(f.end(), 16, 0xce);
  }
  f[0] = 'M', f[1] = 'Z';
  pe::put_u32(f, 0x3c, kLfanew);
  pe::put_u32(f, kLfanew, 0x4550);
  pe::put_u16(f, kFileHeader, shape.pe32 ? 0x14c : 0x8664);
  pe::put_u16(f, kFileHeader + 2, static_cast<uint16_t>(sections.size()));
  pe::put_u16(f, kFileHeader + 16, shape.pe32 ? 224 : 240);
  pe::put_u16(f, kOpt, shape.pe32 ? 0x10b : 0x20b);
  pe::put_u32(f, kOpt + 16, 0x1000);  // entry point, in .text
  pe::put_u32(f, kOpt + 32, 0x1000);  // SectionAlignment
  pe::put_u32(f, kOpt + 36, 0x200);   // FileAlignment
  pe::put_u32(f, kOpt + 56, va);      // SizeOfImage
  pe::put_u32(f, kOpt + 60, 0x400);   // SizeOfHeaders
  const size_t directory_at = kOpt + (shape.pe32 ? 96 : 112);
  pe::put_u32(f, directory_at - 4, 16);
  for (const auto& [slot, d] : directories) {
    pe::put_u32(f, directory_at + 8 * slot, d.virtual_address);
    pe::put_u32(f, directory_at + 8 * slot + 4, d.size);
  }
  const size_t table = kOpt + (shape.pe32 ? 224 : 240);
  for (size_t i = 0; i < sections.size(); ++i) {
    size_t at = table + 40 * i;
    std::copy_n(sections[i].name, 8, f.begin() + static_cast<std::ptrdiff_t>(at));
    pe::put_u32(f, at + 8, sections[i].virtual_size);
    pe::put_u32(f, at + 12, sections[i].virtual_address);
    pe::put_u32(f, at + 16, sections[i].size_of_raw_data);
    pe::put_u32(f, at + 20, sections[i].pointer_to_raw_data);
    pe::put_u32(f, at + 36, sections[i].characteristics);
  }
  pe::put_u32(f, kOpt + 64, pe::pe_checksum(f, kOpt + 64));
  return f;
}

// ---- payloads ---------------------------------------------------------------------

Bytes entry(std::u16string_view name, std::string_view contents) {
  Bytes bytes;
  for (char16_t unit : name) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
  bytes.insert(bytes.end(), {0, 0});
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(uint64_t{contents.size()} >> (8 * i)));
  bytes.insert(bytes.end(), contents.begin(), contents.end());
  return bytes;
}

Bytes content(std::initializer_list<Bytes> entries, bool end_marker = true) {
  Bytes all;
  for (const Bytes& e : entries) all.insert(all.end(), e.begin(), e.end());
  if (end_marker) all.insert(all.end(), {0, 0});
  return all;
}

// The payload target's first byte picks how the rest is used (see fuzz_payload.h).
Bytes as_raw(const Bytes& resource) {
  Bytes input = {fuzz::kRawResource};
  input.insert(input.end(), resource.begin(), resource.end());
  return input;
}
Bytes as_content(const Bytes& plain, uint8_t flags = 0) {
  Bytes input = {static_cast<uint8_t>(fuzz::kCompressedContent | flags)};
  input.insert(input.end(), plain.begin(), plain.end());
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const fs::path corpus = argv[1];

  const fs::path pe_dir = corpus / "pe_resources";
  save(pe_dir / "seed-pe32plus-reloc", make_image({}, sample_tree(false)));
  save(pe_dir / "seed-pe32-payload", make_image({.pe32 = true}, sample_tree(true)));
  save(pe_dir / "seed-append-section",
       make_image({.reloc = false, .data_after = true, .overlay = true}, sample_tree(true)));
  save(pe_dir / "seed-signed", make_image({.overlay = true, .certificate = true}, sample_tree(false)));

  const Bytes app = entry(u"app.dll", "MZ application");
  const Bytes nested = entry(u"lib\\\u00E9t\u00E9\\\xD83D\xDE00.txt", std::string(300, 'x'));
  const Bytes empty = entry(u"data\\empty", "");
  const fs::path payload_dir = corpus / "payload_stream";
  save(payload_dir / "seed-raw-one-entry", as_raw(fuzz::compress_payload(content({app}), true)));
  save(payload_dir / "seed-raw-three-entries", as_raw(fuzz::compress_payload(content({app, nested, empty}), true)));
  save(payload_dir / "seed-raw-no-checksum", as_raw(fuzz::compress_payload(content({app, empty}), false)));
  Bytes trailing = fuzz::compress_payload(content({app}), true);
  trailing.insert(trailing.end(), {'t', 'a', 'i', 'l'});
  save(payload_dir / "seed-raw-trailing-bytes", as_raw(trailing));
  save(payload_dir / "seed-content-three-entries", as_content(content({app, nested, empty})));
  save(payload_dir / "seed-content-longest-name", as_content(content({entry(std::u16string(1023, u'n'), "z")})));
  save(payload_dir / "seed-content-name-too-long", as_content(content({entry(std::u16string(1024, u'n'), "z")})));
  save(payload_dir / "seed-content-cut-short", as_content(content({app, nested}, false), fuzz::kCutLastByte));
  save(payload_dir / "seed-content-case-clash", as_content(content({app, entry(u"APP.dll", "")})));

  const fs::path names_dir = corpus / "entry_names";
  save(names_dir / "seed-plain", text("app.dll"));
  save(names_dir / "seed-nested", text("lib\\sub dir\\file.name.txt"));
  save(names_dir / "seed-unicode", text("\xC3\xA9t\xC3\xA9\\\xE2\x85\xB0\\\xF0\x9F\x98\x80.txt"));
  save(names_dir / "seed-device", text("sub\\com\xC2\xB9.log"));
  save(names_dir / "seed-forbidden", text("a\\b:c"));
  return 0;
}
