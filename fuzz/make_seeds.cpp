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
#include "fuzz/fuzz_spec_input.h"
#include "packer/pe_resources.h"
#include "packer/synthetic_image.h"
#include "payload/payload_format.h"

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
    tree.types.push_back({pe::ResourceKey::of_id(PAYLOAD_RESOURCE_TYPE),
                          {},
                          {{pe::ResourceKey::of_id(PAYLOAD_RESOURCE_ID), {}, {data(0, text("VUQ"))}}}});
  }
  return tree;
}

Bytes make_image(pe::SyntheticImage shape, const pe::ResourceTree& tree, bool overlay = false,
                 bool certificate = false) {
  shape.resources = tree;
  if (overlay) shape.overlay = text("overlay");
  if (certificate) shape.certificate = Bytes(16, 0xce);
  return pe::make_synthetic_image(shape);
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

// ---- Directory specs --------------------------------------------------------------

// The launcher's own spec at its usual size and at the edges of the 4096-unit
// buffer, the program and shell folder variants, and inherited start times on
// either side of what is taken as one: 20 digits, 2^64, zeros in front, a path.
void save_spec_seeds(const fs::path& corpus) {
  const fs::path spec_dir = corpus / "path_spec";
  auto spec_seed = [&](const char* name, size_t capacity, std::u16string spec, std::u16string temp, uint8_t flags,
                       std::u16string start = {}) {
    fuzz::SpecInput input;
    input.capacity = capacity;
    input.flags = flags;
    input.clock = 134116992000000000;
    input.own_id = 4242;
    input.values[fuzz::kTemp] = std::move(temp);
    input.values[fuzz::kHome] = u"C:\\users\\me\\";
    input.values[fuzz::kCache] = u"C:\\users\\me\\AppData\\Local";
    input.values[fuzz::kArgv0] = spec.starts_with(u"{PROGRAM_BASE}{") ? u".exe" : u"C:\\d\\App.EXE";
    input.values[fuzz::kParent] = u"4242";
    input.values[fuzz::kStart] = std::move(start);
    input.spec = std::move(spec);
    save(spec_dir / name, fuzz::encode_spec_input(input));
  };
  const std::u16string temp = u"C:\\users\\me\\Temp\\";
  spec_seed("seed-default", 4096, u"{TEMP}\\onefile_{PID}_{TIME}", temp, 0);
  spec_seed("seed-default-inherited-start", 4096, u"{TEMP}\\onefile_{PID}_{TIME}", temp, fuzz::kStartFormatted);
  spec_seed("seed-temp-at-the-edge", 4097, u"{TEMP}\\onefile_{PID}_{TIME}", std::u16string(4060, u'a'), 0);
  spec_seed("seed-literal-overflow", 3, u"abc", temp, 0);
  spec_seed("seed-program-variants", 4096, u"{PROGRAM_BASE}|{PROGRAM_DIR}|{program}", temp, 0);
  spec_seed("seed-program-exe-only", 4096, u"{PROGRAM_BASE}{PROGRAM_DIR}", temp, 0);
  spec_seed("seed-shell-folders", 600, u"{HOME}\\{CACHE_DIR}\\{PRODUCT}-{VERSION}", temp, 0);
  spec_seed("seed-open-and-unknown", 64, u"x{AB{TIME}}{}{NOPE}{TEMP", temp, fuzz::kTempFails);
  const std::u16string default_spec = u"{TEMP}\\onefile_{PID}_{TIME}";
  spec_seed("seed-inherited-start-largest", 4096, default_spec, temp, 0, u"18446744073709551615");
  spec_seed("seed-inherited-start-2-to-the-64", 4096, default_spec, temp, 0, u"18446744073709551616");
  spec_seed("seed-inherited-start-20-with-zeros", 4096, default_spec, temp, 0, u"00000000000000000042");
  spec_seed("seed-inherited-start-21-with-zeros", 4096, default_spec, temp, 0, u"000000000000000000042");
  spec_seed("seed-inherited-start-path", 4096, default_spec, temp, 0, u"1\\..\\me");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const fs::path corpus = argv[1];
  save_spec_seeds(corpus);

  const fs::path pe_dir = corpus / "pe_resources";
  save(pe_dir / "seed-pe32plus-reloc", make_image({}, sample_tree(false)));
  save(pe_dir / "seed-pe32-payload", make_image({.pe32 = true}, sample_tree(true)));
  save(pe_dir / "seed-append-section",
       make_image({.reloc = false, .data_after = true}, sample_tree(true), true));
  save(pe_dir / "seed-signed", make_image({}, sample_tree(false), true, true));

  // DLLs as the launcher meets them when a load fails: imports, delay imports, both kinds of header.
  const fs::path imports_dir = corpus / "pe_import_walk";
  save(imports_dir / "seed-imports-and-delay-imports",
       pe::make_synthetic_image({.dll = true, .exports = {"run_code"},
                                 .imports = {"KERNEL32.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll"},
                                 .delay_imports = {"zlib1.dll"}}));
  save(imports_dir / "seed-pe32-imports",
       pe::make_synthetic_image({.pe32 = true, .dll = true, .imports = {"msvcrt.dll", "helper"}}));
  save(imports_dir / "seed-no-imports", pe::make_synthetic_image({.dll = true, .exports = {"run_code"}}));

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

  // The launcher's check reads names as UTF-16LE, the form they have in a payload.
  const fs::path rule_dir = corpus / "entry_name_rule";
  const auto utf16 = [](std::u16string_view name) {
    Bytes bytes;
    for (char16_t unit : name) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
    return bytes;
  };
  save(rule_dir / "seed-nested", utf16(u"lib\\sub dir\\file.name.txt"));
  save(rule_dir / "seed-parent", utf16(u"a\\..\\. .\\x"));
  save(rule_dir / "seed-device", utf16(u"sub/Com\u00B9 .log\\nul"));
  save(rule_dir / "seed-drive", utf16(u"C:x"));
  save(rule_dir / "seed-unicode", utf16(u"\u00E9t\u00E9\\\xD83D\xDE00.txt"));

  // Command lines, read as UTF-16LE as well: argument 0 both ways, backslash
  // runs before quotes and not, the triple quote, blanks and tabs, non-ASCII.
  const fs::path split_dir = corpus / "command_line_split";
  save(split_dir / "seed-quoted-program", utf16(u"\"C:\\Program Files\\a.exe\"x \"two words\" end"));
  save(split_dir / "seed-backslashes", utf16(u"p a\\\\\\b d\"e f\"g a\\\\\\\"b a\\\\\\\\\"b c\" C:\\dir\\"));
  save(split_dir / "seed-quotes", utf16(u"p a\"b\"\" c \"\"\" \"a\"\"\"b c\" \"\""));
  save(split_dir / "seed-blanks", utf16(u" \tp\t\"\u00E9 \xD83D\xDE00\"\u3000x  "));

  // Settings records: none, flags only, arguments with every brace form, and
  // a version 2 record in the cached mode, whose section comes first.
  const auto settings = [&](uint32_t flags, const std::vector<std::u16string>& arguments,
                            const std::vector<std::u16string>& cache = {}) {
    Bytes record = {'V', 'L', 'S', static_cast<uint8_t>(cache.empty() ? 1 : 2)};
    for (int shift = 0; shift < 32; shift += 8) record.push_back(static_cast<uint8_t>(flags >> shift));
    record.insert(record.end(), {static_cast<uint8_t>(arguments.size()), 0, 0, 0});
    for (const auto& text : cache) {
      Bytes units = utf16(text);
      record.insert(record.end(), units.begin(), units.end());
      record.insert(record.end(), {0, 0});
    }
    for (const auto& argument : arguments) {
      Bytes units = utf16(argument);
      record.insert(record.end(), units.begin(), units.end());
      record.insert(record.end(), {0, 0});
    }
    return record;
  };
  const fs::path settings_dir = corpus / "launch_settings";
  save(settings_dir / "seed-empty", settings(0, {}));
  save(settings_dir / "seed-flags", settings(3, {}));
  save(settings_dir / "seed-arguments",
       settings(1, {u"{CONTENTS}\\main.lua", u"", u"{{x}}", u"*.txt", u"}}{CONTENTS}{{", u"\u00E9\xD83D\xDE00"}));
  save(settings_dir / "seed-bad-brace", settings(0, {u"{CONTENT}"}));
  save(settings_dir / "seed-cached",
       settings(4 | 1, {u"{CONTENTS}\\run.lua"}, {u"Demo App", u"0123456789abcdef", u"{HOME}\\Apps\\{PRODUCT}"}));
  return 0;
}
