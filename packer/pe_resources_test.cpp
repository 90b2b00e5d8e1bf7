// Tests for the PE resource rewriter, on small images synthesised in memory and, when
// VORBEL_TEST_PE_IMAGE names one (environment or compile-time), on a real executable.
// Must not need any Windows tool or cross toolchain at test time.
#include "packer/pe_resources.h"

#include "packer/synthetic_image.h"
#include "payload/payload_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

namespace vorbel::pe {
namespace {

// File offsets of .text and of the section after it in the synthetic images.
constexpr size_t kTextRaw = 0x400, kSecondRaw = 0x600;

std::vector<uint8_t> bytes_of(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  return v;
}

ResourceData lang(uint32_t id, std::vector<uint8_t> bytes, uint32_t codepage = 0) {
  return {ResourceKey::of_id(id), codepage, std::move(bytes)};
}

// Types and names out of order, named and id keys, several languages.
ResourceTree sample_tree() {
  ResourceTree t;
  t.directory.time_date_stamp = 0x5eed5eed;
  t.types.push_back({ResourceKey::of_id(24), {}, {{ResourceKey::of_id(1), {}, {lang(0x409, bytes_of(300, 1))}}}});
  t.types.push_back({ResourceKey::of_id(3),
                     {},
                     {{ResourceKey::of_id(2), {}, {lang(0, bytes_of(5, 2))}},
                      {ResourceKey::of_id(1), {}, {lang(0x409, bytes_of(700, 3), 1252)}}}});
  t.types.push_back({ResourceKey::of_name(u"_x"), {}, {{ResourceKey::of_name(u"logo"), {}, {lang(0x407, {1, 2, 3})}}}});
  t.types.push_back({ResourceKey::of_name(u"Banana"), {}, {{ResourceKey::of_id(7), {}, {lang(0x409, {9})}}}});
  t.types.push_back({ResourceKey::of_name(u"apple"),
                     {},
                     {{ResourceKey::of_id(7), {}, {lang(0x409, {}), lang(0x407, {4, 5}), lang(0, {6})}}}});
  return t;
}

// The synthetic image most tests start from: the sample tree as resources.
struct Synth : SyntheticImage {
  Synth() { resources = sample_tree(); }
};

std::string load_error(std::vector<uint8_t> bytes) {
  auto image = parse_image(std::move(bytes));
  if (!image) return image.error();
  auto tree = read_resources(image.value());
  return tree ? "" : tree.error();
}

size_t count_entries(const ResourceTree& t, uint32_t type, uint32_t name) {
  size_t n = 0;
  for (const auto& ty : t.types)
    for (const auto& nm : ty.names)
      if (ty.key.is_id(type) && nm.key.is_id(name)) n += nm.languages.size();
  return n;
}

// Every resource of `before` except the payload is in `after`, byte for byte.
void expect_survivors(const ResourceTree& before, const ResourceTree& after) {
  for (const auto& t : before.types)
    for (const auto& n : t.names) {
      if (t.key.is_id(PAYLOAD_RESOURCE_TYPE) && n.key.is_id(PAYLOAD_RESOURCE_ID)) continue;
      for (const auto& l : n.languages) {
        bool found = false;
        for (const auto& t2 : after.types)
          for (const auto& n2 : t2.names)
            for (const auto& l2 : n2.languages)
              found |= t2.key == t.key && n2.key == n.key && l2.language == l.language && l2.bytes == l.bytes &&
                       l2.codepage == l.codepage;
        EXPECT_TRUE(found) << "lost resource of " << l.bytes.size() << " bytes";
      }
    }
}

// What the loader insists on, plus the header fields the writer must keep honest.
void expect_sound_layout(const Image& img) {
  const auto& s = img.sections;
  auto end = [&](const SectionHeader& x) {
    return x.virtual_address + (x.virtual_size ? x.virtual_size : x.size_of_raw_data);
  };
  for (size_t i = 0; i < s.size(); ++i) {
    EXPECT_EQ(s[i].pointer_to_raw_data % img.file_alignment, 0u);
    EXPECT_EQ(s[i].size_of_raw_data % img.file_alignment, 0u);
    if (i > 0) {
      EXPECT_EQ(s[i].virtual_address, (end(s[i - 1]) + img.section_alignment - 1) & ~(img.section_alignment - 1));
    }
  }
  EXPECT_EQ(get_u32(img.file, img.optional_header_offset + kSizeOfImage),
            (end(s.back()) + img.section_alignment - 1) & ~(img.section_alignment - 1));
  EXPECT_EQ(get_u32(img.file, img.optional_header_offset + kCheckSum),
            pe_checksum(img.file, img.optional_header_offset + kCheckSum));
  // Exactly one section is called .rsrc, and it is the one the directory points at.
  const DataDirectory rd = img.directories[kDirResource];
  auto rsrc = [](const SectionHeader& x) {
    return std::string(reinterpret_cast<const char*>(x.name), 5) == ".rsrc" && x.name[5] == 0;
  };
  ASSERT_EQ(std::count_if(s.begin(), s.end(), rsrc), 1);
  const SectionHeader& r = *std::find_if(s.begin(), s.end(), rsrc);
  EXPECT_EQ(r.virtual_address, rd.virtual_address);
  EXPECT_EQ(r.virtual_size, rd.size);
}

struct RoundTripCase {
  const char* name;
  Synth synth;
  size_t payload;
  bool appends_section;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class RoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, KeepsResourcesAndFindsPayload) {
  const RoundTripCase& c = GetParam();
  std::vector<uint8_t> original = make_synthetic_image(c.synth);
  auto image = parse_image(original);
  ASSERT_TRUE(image.ok()) << image.error();
  auto tree = read_resources(image.value());
  ASSERT_TRUE(tree.ok()) << tree.error();
  const ResourceTree before = tree.value();
  const std::vector<uint8_t> payload = bytes_of(c.payload, 42);
  set_resource(tree.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, payload);
  auto out = write_image(image.value(), tree.value());
  ASSERT_TRUE(out.ok()) << out.error();
  EXPECT_EQ(out->signature_removed, !c.synth.certificate.empty());

  auto packed = parse_image(out->file);
  ASSERT_TRUE(packed.ok()) << packed.error();
  auto after = read_resources(packed.value());
  ASSERT_TRUE(after.ok()) << after.error();
  const ResourceData* found = find_resource(after.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->bytes, payload);
  EXPECT_EQ(count_entries(after.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID), 1u);
  expect_survivors(before, after.value());
  expect_sound_layout(packed.value());
  EXPECT_EQ(packed->sections.size(), image->sections.size() + (c.appends_section ? 1 : 0));
  EXPECT_EQ(packed->directories[kDirSecurity].virtual_address, 0u);
  EXPECT_EQ(packed->directories[kDirSecurity].size, 0u);

  const auto& f = out->file;
  ASSERT_GE(f.size(), c.synth.overlay.size());
  EXPECT_TRUE(std::equal(c.synth.overlay.begin(), c.synth.overlay.end(),
                         f.end() - static_cast<std::ptrdiff_t>(c.synth.overlay.size())));
  if (c.synth.reloc) {
    const DataDirectory r = packed->directories[kDirBaseReloc];
    ASSERT_EQ(r.size, kRelocBlock.size());
    auto sec = std::find_if(packed->sections.begin(), packed->sections.end(),
                            [&](const SectionHeader& s) { return s.virtual_address == r.virtual_address; });
    ASSERT_NE(sec, packed->sections.end());
    EXPECT_TRUE(std::equal(kRelocBlock.begin(), kRelocBlock.end(), f.begin() + sec->pointer_to_raw_data));
  }
  if (c.synth.symbols) {
    uint32_t symbols = get_u32(f, kFileHeader + 8);
    ASSERT_LE(symbols + c.synth.overlay.size(), f.size());
    EXPECT_TRUE(std::equal(c.synth.overlay.begin(), c.synth.overlay.end(), f.begin() + symbols));
  }
}

Synth with(std::function<void(Synth&)> edit) {
  Synth s;
  edit(s);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RoundTrip,
    testing::Values(RoundTripCase{"ResourcesLast", with([](Synth& s) { s.reloc = false; }), 1 << 20, false},
                    RoundTripCase{"RelocationsMovedBehind", Synth{}, 1 << 20, false},
                    RoundTripCase{"ImmovableSectionAfter", with([](Synth& s) { s.data_after = true; }), 4096, true},
                    RoundTripCase{"NoResourcesYet", with([](Synth& s) { s.resources.reset(); }), 4096, true},
                    RoundTripCase{"Pe32", with([](Synth& s) { s.pe32 = true; }), 4096, false},
                    RoundTripCase{"SignedWithOverlay", with([](Synth& s) {
                                    s.overlay = bytes_of(777, 9);
                                    s.certificate = bytes_of(512, 8);
                                  }),
                                  4096, false},
                    RoundTripCase{"SymbolsInOverlayAfterAppend", with([](Synth& s) {
                                    s.data_after = true;
                                    s.symbols = true;
                                    s.overlay = bytes_of(300, 7);
                                  }),
                                  9000, true},
                    RoundTripCase{"OneBytePayload", Synth{}, 1, false},
                    RoundTripCase{"EmptyPayload", Synth{}, 0, false},
                    RoundTripCase{"FiveMegabytes", Synth{}, 5 << 20, false},
                    RoundTripCase{"ShrinksOldPayload", with([](Synth& s) {
                                    set_resource(*s.resources, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0x409, bytes_of(2 << 20, 5));
                                  }),
                                  10, false}),
    [](const testing::TestParamInfo<RoundTripCase>& info) { return std::string(info.param.name); });

TEST(SetResource, ReplacingTwiceLeavesOnePayloadWhateverItsLanguages) {
  Synth s;
  s.resources->types.push_back({ResourceKey::of_id(PAYLOAD_RESOURCE_TYPE),
                                {},
                                {{ResourceKey::of_id(PAYLOAD_RESOURCE_ID), {}, {lang(0x409, {1}), lang(0x407, {2})}}}});
  std::vector<uint8_t> file = make_synthetic_image(s);
  for (uint8_t round = 1; round <= 2; ++round) {
    auto image = parse_image(file);
    ASSERT_TRUE(image.ok()) << image.error();
    auto tree = read_resources(image.value());
    ASSERT_TRUE(tree.ok());
    set_resource(tree.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, bytes_of(1000 * round, round));
    auto out = write_image(image.value(), tree.value());
    ASSERT_TRUE(out.ok()) << out.error();
    file = out->file;
  }
  auto tree = read_resources(parse_image(file).value());
  ASSERT_TRUE(tree.ok());
  EXPECT_EQ(count_entries(tree.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID), 1u);
  EXPECT_EQ(find_resource(tree.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID)->bytes, bytes_of(2000, 2));
  expect_survivors(sample_tree(), tree.value());
}

TEST(BuildResourceSection, OrdersEntriesAsTheLoaderSearchesThem) {
  const uint32_t rva = 0x5000;
  std::vector<uint8_t> sec = build_resource_section(sample_tree(), rva).value();
  EXPECT_EQ(get_u32(sec, 4), 0x5eed5eedu);  // root time stamp kept
  ASSERT_EQ(get_u16(sec, 12), 3);           // named types
  ASSERT_EQ(get_u16(sec, 14), 2);           // id types
  std::vector<std::u16string> names;
  for (size_t i = 0; i < 3; ++i) {
    uint32_t field = get_u32(sec, 16 + 8 * i);
    ASSERT_TRUE(field & 0x80000000u);
    size_t at = field & 0x7fffffffu;
    std::u16string name;
    for (size_t k = 0; k < get_u16(sec, at); ++k) name += static_cast<char16_t>(get_u16(sec, at + 2 + 2 * k));
    names.push_back(name);
  }
  // Upper-case folding puts "apple" before "Banana" and both letters before '_'.
  EXPECT_EQ(names, (std::vector<std::u16string>{u"apple", u"Banana", u"_x"}));
  EXPECT_EQ(get_u32(sec, 16 + 8 * 3), 3u);
  EXPECT_EQ(get_u32(sec, 16 + 8 * 4), 24u);

  // Every data entry points, by RVA, at an 8-aligned block inside the section.
  std::vector<size_t> entries;
  std::function<void(size_t, int)> walk = [&](size_t table, int depth) {
    for (size_t i = 0; i < size_t{get_u16(sec, table + 12)} + get_u16(sec, table + 14); ++i) {
      uint32_t target = get_u32(sec, table + 16 + 8 * i + 4);
      ASSERT_EQ((target & 0x80000000u) != 0, depth < 2);
      if (depth < 2)
        walk(target & 0x7fffffffu, depth + 1);
      else
        entries.push_back(target);
    }
  };
  walk(0, 0);
  EXPECT_EQ(entries.size(), 8u);
  for (size_t e : entries) {
    uint32_t data_rva = get_u32(sec, e), size = get_u32(sec, e + 4);
    EXPECT_EQ(data_rva % 8, 0u);
    EXPECT_GE(data_rva, rva + 16 * entries.size());
    EXPECT_LE(data_rva + size, rva + sec.size());
  }
}

TEST(ReadResources, ReadsAHandAssembledTree) {
  // root -> type 10 -> name "AB" -> language 0x409 -> "xyz" (codepage 1252)
  std::vector<uint8_t> r(0x70, 0);
  put_u32(r, 4, 0x12345678);
  put_u16(r, 14, 1);
  put_u32(r, 16, 10);
  put_u32(r, 20, 0x80000018);
  put_u16(r, 0x18 + 12, 1);
  put_u32(r, 0x18 + 16, 0x80000060);
  put_u32(r, 0x18 + 20, 0x80000030);
  put_u16(r, 0x30 + 14, 1);
  put_u32(r, 0x30 + 16, 0x409);
  put_u32(r, 0x30 + 20, 0x48);
  put_u32(r, 0x48, 0x2000 + 0x68);  // .rsrc is the second section, at 0x2000
  put_u32(r, 0x4c, 3);
  put_u32(r, 0x50, 1252);
  put_u16(r, 0x60, 2);
  put_u16(r, 0x62, u'A');
  put_u16(r, 0x64, u'B');
  r[0x68] = 'x', r[0x69] = 'y', r[0x6a] = 'z';
  Synth s;
  s.raw_resources = r;
  auto image = parse_image(make_synthetic_image(s));
  ASSERT_TRUE(image.ok()) << image.error();
  auto tree = read_resources(image.value());
  ASSERT_TRUE(tree.ok()) << tree.error();
  EXPECT_EQ(tree->directory.time_date_stamp, 0x12345678u);
  ASSERT_EQ(tree->types.size(), 1u);
  EXPECT_TRUE(tree->types[0].key.is_id(10));
  ASSERT_EQ(tree->types[0].names.size(), 1u);
  EXPECT_EQ(tree->types[0].names[0].key, ResourceKey::of_name(u"AB"));
  ASSERT_EQ(tree->types[0].names[0].languages.size(), 1u);
  const ResourceData& d = tree->types[0].names[0].languages[0];
  EXPECT_TRUE(d.language.is_id(0x409));
  EXPECT_EQ(d.codepage, 1252u);
  EXPECT_EQ(d.bytes, (std::vector<uint8_t>{'x', 'y', 'z'}));
}

// Offset (in the file) of the entry reached by following first entries `depth` levels down.
size_t first_entry(const std::vector<uint8_t>& f, int depth) {
  size_t at = kSecondRaw;
  for (int i = 0; i < depth; ++i) at = kSecondRaw + (get_u32(f, at + 20) & 0x7fffffffu);
  return at + 16;
}

struct Corruption {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> corrupt;
  const char* expected;
};

TEST(Refusals, MalformedInputsAreRejectedWithAReason) {
  const size_t table = kOpt + 240, dirs = kOpt + 112;
  const Corruption cases[] = {
      {"not MZ", [](auto& f) { f[0] = 'X'; }, "no MZ header"},
      {"tiny file", [](auto& f) { f.resize(40); }, "no MZ header"},
      {"e_lfanew past end", [](auto& f) { put_u32(f, 0x3c, 0xfffffff0); }, "bad e_lfanew"},
      {"e_lfanew inside DOS header", [](auto& f) { put_u32(f, 0x3c, 8); }, "bad e_lfanew"},
      {"no PE signature", [](auto& f) { f[kLfanew] = 'N'; }, "no PE signature"},
      {"ROM magic", [](auto& f) { put_u16(f, kOpt, 0x107); }, "optional header magic"},
      {"machine mismatch", [](auto& f) { put_u16(f, kFileHeader, 0x1c0); }, "unsupported machine"},
      {"headers truncated", [](auto& f) { f.resize(0x100); }, "truncated headers"},
      {"optional header too small", [](auto& f) { put_u16(f, kFileHeader + 16, 64); }, "optional header too small"},
      {"too many data directories", [=](auto& f) { put_u32(f, dirs - 4, 17); }, "data directory count"},
      {"bad file alignment", [](auto& f) { put_u32(f, kOpt + 36, 0x300); }, "invalid alignment"},
      {"no sections", [](auto& f) { put_u16(f, kFileHeader + 2, 0); }, "no sections"},
      {"section table past headers", [](auto& f) { put_u16(f, kFileHeader + 2, 200); }, "section table"},
      {"file truncated in a section", [](auto& f) { f.resize(kSecondRaw + 0x10); }, "extends past end of file"},
      {"sections out of order", [=](auto& f) { put_u32(f, table + 40 + 12, 0x1000); }, "out of address order"},
      // Found by fuzzing: an empty section at RVA 0 let the writer put the payload at RVA 0, where it was lost.
      {"section mapped over the headers", [=](auto& f) { put_u32(f, table + 12, 0); }, "over the headers in memory"},
      {"resource directory outside sections", [=](auto& f) { put_u32(f, dirs + 16, 0x900000); },
       "outside every section"},
      {"resource table claims too many entries", [](auto& f) { put_u16(f, kSecondRaw + 14, 0xffff); }, "past the end"},
      {"resource tree cycle", [](auto& f) { put_u32(f, kSecondRaw + 16 + 4, 0x80000000); }, "twice"},
      {"sub-table out of range", [](auto& f) { put_u32(f, kSecondRaw + 16 + 4, 0xfffffff0); }, "outside the image"},
      {"data where a type belongs", [](auto& f) { put_u32(f, kSecondRaw + 16 + 4, 0x10); }, "data where a type"},
      {"name string out of range", [](auto& f) { put_u32(f, kSecondRaw + 16, 0xffffff00); }, "resource name"},
      {"tree deeper than three", [](auto& f) { put_u32(f, first_entry(f, 2) + 4, 0x80000000 | 0x40); }, "deeper"},
      {"data outside sections",
       [](auto& f) {
         size_t entry = kSecondRaw + get_u32(f, first_entry(f, 2) + 4);
         put_u32(f, entry, 0x7fff0000);
       },
       "outside the image's sections"},
  };
  const std::vector<uint8_t> good = make_synthetic_image(Synth{});
  ASSERT_EQ(load_error(good), "");
  for (const Corruption& c : cases) {
    std::vector<uint8_t> bad = good;
    c.corrupt(bad);
    std::string error = load_error(bad);
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": got \"" << error << "\"";
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
  }
}

// Headers and the resource tree are where the offsets live: flip bytes there at random
// and everything must come back as a value (run under sanitizers to see stray reads).
TEST(Refusals, RandomCorruptionNeverCrashes) {
  Synth s;
  s.overlay = bytes_of(100, 4);
  s.certificate = bytes_of(64, 5);
  const std::vector<uint8_t> good = make_synthetic_image(s);
  uint32_t x = 12345;
  auto next = [&] { return (x = x * 1103515245u + 12345u) >> 8; };
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bad = good;
    for (int k = 0, n = 1 + next() % 4; k < n; ++k) {
      size_t at = next() % 2 ? next() % 0x300 : kSecondRaw + next() % 0x200;
      bad[at] = static_cast<uint8_t>(next());
    }
    auto image = parse_image(bad);
    if (!image) continue;
    auto tree = read_resources(image.value());
    if (!tree) continue;
    set_resource(tree.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, {1, 2, 3});
    auto out = write_image(image.value(), tree.value());
    if (out) {
      EXPECT_TRUE(parse_image(out->file).ok()) << "round " << round;
    }
  }
}

TEST(Refusals, WriterRefusesWhatItCannotPlace) {
  // No room: bytes right after the section table are in use.
  Synth append;
  append.data_after = true;
  std::vector<uint8_t> f = make_synthetic_image(append);
  f[kOpt + 240 + 4 * 40 + 3] = 1;
  auto image = parse_image(f).value();
  auto out = write_image(image, read_resources(image).value());
  ASSERT_FALSE(out.ok());
  EXPECT_NE(out.error().find("no room"), std::string::npos) << out.error();

  // A certificate pointer into the sections cannot be a trailing signature.
  Synth signed_image;
  signed_image.certificate = bytes_of(64, 1);
  f = make_synthetic_image(signed_image);
  put_u32(f, kOpt + 112 + 8 * kDirSecurity, kTextRaw);
  image = parse_image(f).value();
  out = write_image(image, read_resources(image).value());
  ASSERT_FALSE(out.ok());
  EXPECT_NE(out.error().find("certificate"), std::string::npos) << out.error();
}

// Found by fuzzing: the file data of a section at an unaligned address ran on past its
// mapped size over the RVA where the writer appended the new .rsrc, and that RVA was read
// from the old section's padding: the packed image seemed to hold no resources at all.
TEST(ReadResources, FileDataPastTheMappedSizeDoesNotShadowTheNextSection) {
  Synth s;
  s.data_after = true;  // .text, .rsrc, .reloc, .idata: the writer appends a section
  std::vector<uint8_t> f = make_synthetic_image(s);
  const size_t idata = kOpt + 240 + 3 * 40;
  ASSERT_EQ(get_u32(f, idata + 8), 0x40u);    // mapped size
  ASSERT_EQ(get_u32(f, idata + 16), 0x200u);  // file data
  // 0x40 mapped bytes ending at a page boundary; the file data goes on past it.
  put_u32(f, idata + 12, get_u32(f, idata + 12) + 0xfc0);
  auto image = parse_image(f).value();
  const ResourceTree before = read_resources(image).value();
  ResourceTree tree = before;
  set_resource(tree, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, bytes_of(100, 9));
  auto out = write_image(image, tree);
  ASSERT_TRUE(out.ok()) << out.error();
  auto packed = parse_image(out->file);
  ASSERT_TRUE(packed.ok()) << packed.error();
  auto after = read_resources(packed.value());
  ASSERT_TRUE(after.ok()) << after.error();
  const ResourceData* payload = find_resource(after.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID);
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(payload->bytes, bytes_of(100, 9));
  expect_survivors(before, after.value());
}

TEST(Checksum, MatchesHandComputedValues) {
  struct Case {
    std::vector<uint8_t> bytes;
    size_t checksum_at;
    uint32_t expected;
  };
  const Case cases[] = {
      {{}, 0, 0},
      {{0x01, 0x00}, 100, 1 + 2},
      {{0xff, 0xff, 0x01, 0x00}, 100, 1 + 4},                               // carry folds back in
      {{0x34, 0x12, 0x56}, 100, 0x128a + 3},                                // odd tail is a low byte
      {{0x01, 0, 0, 0, 0xaa, 0xbb, 0xcc, 0xdd, 0x02, 0}, 4, 3 + 10},        // field skipped
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 100, 0xffff + 8},  // length not folded
      {std::vector<uint8_t>(0x20004, 0xff), 0x30000, 0xffff + 0x20004},     // folds every step
  };
  for (const Case& c : cases) EXPECT_EQ(pe_checksum(c.bytes, c.checksum_at), c.expected);
}

TEST(Determinism, SameInputsGiveSameBytesAndRepackingIsAFixedPoint) {
  for (bool data_after : {false, true}) {
    Synth s;
    s.data_after = data_after;
    auto image = parse_image(make_synthetic_image(s)).value();
    auto tree = read_resources(image).value();
    set_resource(tree, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, bytes_of(5000, 3));
    auto first = write_image(image, tree);
    auto second = write_image(image, tree);
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(first->file, second->file);
    auto again = write_image(parse_image(first->file).value(), tree);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_EQ(again->file, first->file) << "data_after=" << data_after;
  }
}

// A payload too large for memory is laid out as a hole that the caller fills
// while writing, the checksum taken over the pieces: the result must be the
// very image the in-memory path makes, with sections moved after the
// resources, an overlay and a dropped signature, and a payload of odd size so
// that the pieces after it start at odd offsets.
TEST(StreamedResource, FillingTheHoleGivesTheImageMadeInMemory) {
  for (int variant = 0; variant < 3; ++variant) {
    Synth s;
    s.data_after = variant == 1;
    if (variant == 2) s.overlay = bytes_of(301, 4), s.certificate = bytes_of(64, 5);
    auto image = parse_image(make_synthetic_image(s)).value();
    const std::vector<uint8_t> payload = bytes_of(70001, 6);
    auto tree = read_resources(image).value();
    set_resource(tree, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, payload);
    auto whole = write_image(image, tree);
    ASSERT_TRUE(whole.ok()) << whole.error();
    set_streamed_resource(tree, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, payload.size());
    auto holed = write_image(image, tree);
    ASSERT_TRUE(holed.ok()) << holed.error();
    ASSERT_EQ(holed->hole_size, payload.size());
    ASSERT_EQ(holed->file.size() + payload.size(), whole->file.size()) << variant;

    std::vector<uint8_t> file(holed->file.begin(), holed->file.begin() + holed->hole_at);
    file.insert(file.end(), payload.begin(), payload.end());
    file.insert(file.end(), holed->file.begin() + holed->hole_at, holed->file.end());
    PeChecksum checksum(holed->checksum_at);
    for (size_t at = 0, step = 1; at < file.size(); at += step, step = step * 7 % 1000 + 1)
      checksum.add(std::span(file).subspan(at, std::min(step, file.size() - at)));
    put_u32(file, holed->checksum_at, checksum.value());
    EXPECT_TRUE(file == whole->file) << "variant " << variant;
  }
}

#ifndef VORBEL_TEST_PE_IMAGE
#define VORBEL_TEST_PE_IMAGE ""
#endif

TEST(RealImage, PackTwiceKeepsEveryResource) {
  const char* env = std::getenv("VORBEL_TEST_PE_IMAGE");
  std::string path = env && *env ? env : VORBEL_TEST_PE_IMAGE;
  if (path.empty()) GTEST_SKIP() << "set VORBEL_TEST_PE_IMAGE to a PE file to run this";
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  auto image = parse_image(file);
  ASSERT_TRUE(image.ok()) << image.error();
  auto before = read_resources(image.value());
  ASSERT_TRUE(before.ok()) << before.error();
  // Linkers that fill in CheckSum are an independent reference for ours.
  const size_t checksum_at = image->optional_header_offset + kCheckSum;
  if (uint32_t stored = get_u32(file, checksum_at)) {
    EXPECT_EQ(pe_checksum(file, checksum_at), stored);
  }
  for (uint8_t round = 1; round <= 2; ++round) {
    auto tree = read_resources(image.value()).value();
    set_resource(tree, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, 0, bytes_of(round << 20, round));
    auto out = write_image(image.value(), tree);
    ASSERT_TRUE(out.ok()) << out.error();
    image = parse_image(out->file);
    ASSERT_TRUE(image.ok()) << image.error();
    auto after = read_resources(image.value());
    ASSERT_TRUE(after.ok()) << after.error();
    EXPECT_EQ(find_resource(after.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID)->bytes, bytes_of(round << 20, round));
    EXPECT_EQ(count_entries(after.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID), 1u);
    expect_survivors(before.value(), after.value());
    expect_sound_layout(image.value());
  }
}

}  // namespace
}  // namespace vorbel::pe
