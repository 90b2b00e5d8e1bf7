// Tests of the application's own resources: .ico parsing and the icon group
// written from it, version resources read, changed and written back, version
// numbers, manifest checks, and the edits applied to a resource tree.
#include "packer/resource_edits.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "packer/test_files.h"
#include "packer/test_icon.h"

#ifndef VORBEL_TEST_PE_IMAGE
#define VORBEL_TEST_PE_IMAGE ""
#endif

namespace vorbel::pack {
namespace {

using testing::ScratchDir;
using testing::solid_icon;
using testing::write_file;

constexpr uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};

std::vector<uint8_t> with_png_image(std::vector<uint8_t> ico) {
  // A second image, as PNG, appended: directory grows by one entry.
  ico.insert(ico.begin() + 6 + 16, 16, 0);
  pe::put_u16(ico, 4, 2);
  pe::put_u32(ico, 6 + 12, pe::get_u32(ico, 6 + 12) + 16);
  const size_t at = 6 + 16;
  ico[at] = 0;  // 256 pixels
  ico[at + 1] = 0;
  pe::put_u16(ico, at + 4, 1);
  pe::put_u16(ico, at + 6, 32);
  pe::put_u32(ico, at + 8, sizeof kPng);
  pe::put_u32(ico, at + 12, static_cast<uint32_t>(ico.size()));
  ico.insert(ico.end(), std::begin(kPng), std::end(kPng));
  return ico;
}

TEST(ParseIco, TakesEveryImageWithItsDirectoryFields) {
  auto ico = with_png_image(solid_icon({{20, 0xff0000ff}}));
  auto images = parse_ico(ico);
  ASSERT_TRUE(images.ok()) << images.failure().problem;
  ASSERT_EQ(images->size(), 2u);
  EXPECT_EQ(images.value()[0].width, 20);
  EXPECT_EQ(images.value()[0].bit_count, 32);
  EXPECT_EQ(images.value()[0].bytes.size(), 40u + 20 * 20 * 4 + 4 * 20);
  EXPECT_EQ(images.value()[1].width, 0);
  EXPECT_EQ(images.value()[1].bytes, std::vector<uint8_t>(std::begin(kPng), std::end(kPng)));

  std::vector<uint8_t> group = icon_group_resource(images.value(), 5);
  ASSERT_EQ(group.size(), 6u + 2 * 14);
  EXPECT_EQ(pe::get_u16(group, 4), 2);
  EXPECT_EQ(std::vector<uint8_t>(group.begin() + 6, group.begin() + 6 + 12),
            std::vector<uint8_t>(ico.begin() + 6, ico.begin() + 6 + 12));  // the same fields as the file
  EXPECT_EQ(pe::get_u16(group, 6 + 12), 5);
  EXPECT_EQ(pe::get_u16(group, 6 + 14 + 12), 6);
  EXPECT_EQ(pe::get_u32(group, 6 + 14 + 8), sizeof kPng);
}

TEST(ParseIco, RefusesMalformedFiles) {
  const std::vector<uint8_t> good = solid_icon({{16, 0}});
  auto changed = [&](size_t at, uint32_t value, int width) {
    std::vector<uint8_t> file = good;
    if (width == 2) pe::put_u16(file, at, static_cast<uint16_t>(value));
    if (width == 4) pe::put_u32(file, at, value);
    return file;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    const char* problem;
  } cases[] = {
      {"short", {0, 0, 1}, "shorter than its 6-byte header"},
      {"not starting with 0", changed(0, 0x4d42, 2), "does not start with 0"},
      {"cursor", changed(2, 2, 2), "it is a cursor (.cur)"},
      {"other type", changed(2, 7, 2), "type is 7, not 1"},
      {"no images", changed(4, 0, 2), "it holds no images"},
      {"directory cut short", changed(4, 900, 2), "directory of 900 images is cut short"},
      {"empty image", changed(6 + 8, 0, 4), "image 1 of 1 is empty"},
      {"image past the end", changed(6 + 8, 100000, 4), "lies outside the file"},
      {"image over the directory", changed(6 + 12, 4, 4), "lies outside the file"},
      {"neither PNG nor bitmap", changed(22, 12, 4), "neither a PNG nor a bitmap"},
  };
  for (const Case& c : cases) {
    auto images = parse_ico(c.file);
    ASSERT_FALSE(images.ok()) << c.what;
    EXPECT_TRUE(images.failure().problem.starts_with("is not a usable icon file (.ico): ")) << c.what;
    EXPECT_NE(images.failure().problem.find(c.problem), std::string::npos)
        << c.what << ": " << images.failure().problem;
  }
}

TEST(VersionQuad, TakesLeadingDottedNumbersAndZeroesTheRest) {
  struct Case {
    const char* text;
    std::optional<VersionQuad> quad;
  } cases[] = {
      {"2", VersionQuad{{2, 0, 0, 0}}},
      {"2.1", VersionQuad{{2, 1, 0, 0}}},
      {"1.2.3.4", VersionQuad{{1, 2, 3, 4}}},
      {"2.1-beta", VersionQuad{{2, 1, 0, 0}}},
      {"3.0 (build 7)", VersionQuad{{3, 0, 0, 0}}},
      {"65535.0.0.65535", VersionQuad{{65535, 0, 0, 65535}}},
      {"", std::nullopt},
      {"v1.2", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"1..2", std::nullopt},
      {"1.", std::nullopt},
      {"65536", std::nullopt},
      {"99999999999", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_version_quad(c.text), c.quad) << c.text;
}

std::vector<uint8_t> real_version_resource() {
  std::ifstream in(VORBEL_TEST_PE_IMAGE, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  auto image = pe::parse_image(file);
  if (!image.ok()) return {};
  auto tree = pe::read_resources(image.value());
  const pe::ResourceData* version = tree.ok() ? pe::find_resource(tree.value(), 16, 1) : nullptr;
  return version ? version->bytes : std::vector<uint8_t>{};
}

TEST(VersionResource, ReadsAndWritesTheLaunchersOwnByteForByte) {
  std::vector<uint8_t> bytes = real_version_resource();
  if (bytes.empty()) GTEST_SKIP() << "no launcher with a version resource at '" VORBEL_TEST_PE_IMAGE "'";
  auto root = parse_version_resource(bytes);
  ASSERT_TRUE(root.ok()) << root.failure().problem;
  EXPECT_EQ(write_version_resource(root.value()), bytes);
  EXPECT_EQ(version_string(root.value(), u"OriginalFilename"), u"launcher.exe");
}

TEST(VersionResource, SetsStringsAndFixedVersionsThatReadBack) {
  VersionNode root = empty_version_resource();
  set_version_string(root, u"ProductName", u"Caf\u00e9 \U0001F600");
  set_version_string(root, u"ProductName", u"Tool");  // replaced, not repeated
  set_version_string(root, u"CompanyName", u"");
  set_fixed_file_version(root, VersionQuad{{1, 2, 3, 4}});
  set_fixed_product_version(root, VersionQuad{{5, 6, 0, 0}});
  auto again = parse_version_resource(write_version_resource(root));
  ASSERT_TRUE(again.ok()) << again.failure().problem;
  EXPECT_EQ(version_string(again.value(), u"ProductName"), u"Tool");
  EXPECT_EQ(version_string(again.value(), u"CompanyName"), u"");
  EXPECT_EQ(version_string(again.value(), u"InternalName"), std::nullopt);
  EXPECT_EQ(again->children[0].children[0].children.size(), 2u);
  EXPECT_EQ(pe::get_u32(again->value, 8), 0x00010002u);
  EXPECT_EQ(pe::get_u32(again->value, 12), 0x00030004u);
  EXPECT_EQ(pe::get_u32(again->value, 16), 0x00050006u);
  EXPECT_EQ(pe::get_u32(again->value, 20), 0u);
}

TEST(VersionResource, RefusesWhatDoesNotFit) {
  std::vector<uint8_t> good = write_version_resource(empty_version_resource());
  auto with = [&](size_t at, uint16_t value) {
    std::vector<uint8_t> bytes = good;
    pe::put_u16(bytes, at, value);
    return bytes;
  };
  for (const auto& [what, bytes] : std::vector<std::pair<const char*, std::vector<uint8_t>>>{
           {"empty", {}},
           {"length past the end", with(0, static_cast<uint16_t>(good.size() + 2))},
           {"length below a header", with(0, 4)},
           {"other root", with(6, 'X')},
           {"no fixed part", with(2, 0)},
       }) {
    EXPECT_FALSE(parse_version_resource(bytes).ok()) << what;
  }
}

pe::ResourceTree launcher_like_tree() {
  pe::ResourceTree tree;
  auto one = [](uint32_t type, uint32_t name, std::vector<uint8_t> bytes) {
    return pe::ResourceType{pe::ResourceKey::of_id(type),
                            {},
                            {{pe::ResourceKey::of_id(name), {}, {{pe::ResourceKey::of_id(0x409), 0, bytes}}}}};
  };
  tree.types.push_back(one(3, 1, {1}));
  tree.types.back().names.push_back({pe::ResourceKey::of_id(2), {}, {{pe::ResourceKey::of_id(0x409), 0, {2}}}});
  tree.types.push_back(one(14, 1, {3}));
  tree.types.push_back(one(16, 1, write_version_resource(empty_version_resource())));
  tree.types.push_back(one(24, 1, {4}));
  return tree;
}

const pe::ResourceType* type_in(const pe::ResourceTree& tree, uint32_t type) {
  for (const auto& t : tree.types)
    if (t.key.is_id(type)) return &t;
  return nullptr;
}

TEST(ResourceEdits, ReplaceIconManifestAndVersionWhereTheLaunchersWere) {
  ScratchDir dir;
  const std::vector<uint8_t> ico = solid_icon({{16, 1}, {32, 2}, {48, 3}});
  write_file(dir / "app.ico", std::string(ico.begin(), ico.end()));
  const std::string manifest =
      "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
      "manifestVersion=\"1.0\"/>\n";
  write_file(dir / "app.manifest", manifest);
  ResourceEdits edits;
  edits.icon = dir / "app.ico";
  edits.manifest = dir / "app.manifest";
  edits.version.product_name = "My Tool";
  edits.version.product_version = "2.5-rc1";
  auto prepared = prepare_resource_edits(edits, dir / "MyTool.exe");
  ASSERT_TRUE(prepared.ok()) << prepared.failure().problem;
  pe::ResourceTree tree = launcher_like_tree();
  ASSERT_TRUE(apply_resource_edits(tree, prepared.value()).ok());

  const pe::ResourceType* icons = type_in(tree, 3);
  ASSERT_NE(icons, nullptr);
  ASSERT_EQ(icons->names.size(), 3u);
  EXPECT_EQ(icons->names[2].key, pe::ResourceKey::of_id(3));
  EXPECT_EQ(icons->names[2].languages[0].language, pe::ResourceKey::of_id(0x409));
  EXPECT_EQ(icons->names[2].languages[0].bytes, parse_ico(ico).value()[2].bytes);
  EXPECT_EQ(pe::find_resource(tree, 14, 1)->bytes, icon_group_resource(parse_ico(ico).value(), 1));
  const std::vector<uint8_t>& written = pe::find_resource(tree, 24, 1)->bytes;
  EXPECT_EQ(std::string(written.begin(), written.end()), manifest);

  auto version = parse_version_resource(pe::find_resource(tree, 16, 1)->bytes);
  ASSERT_TRUE(version.ok());
  EXPECT_EQ(version_string(version.value(), u"ProductName"), u"My Tool");
  EXPECT_EQ(version_string(version.value(), u"FileDescription"), u"My Tool");
  EXPECT_EQ(version_string(version.value(), u"ProductVersion"), u"2.5-rc1");
  EXPECT_EQ(version_string(version.value(), u"FileVersion"), u"2.5-rc1");
  EXPECT_EQ(version_string(version.value(), u"OriginalFilename"), u"MyTool.exe");
  EXPECT_EQ(version_string(version.value(), u"InternalName"), u"MyTool");
  EXPECT_EQ(version_string(version.value(), u"CompanyName"), std::nullopt);
  EXPECT_EQ(pe::get_u32(version->value, 8), 0x00020005u);
  EXPECT_EQ(pe::get_u32(version->value, 16), 0x00020005u);
}

TEST(ResourceEdits, RefuseBadFilesAndVersionsNamingThem) {
  ScratchDir dir;
  write_file(dir / "text.txt", "hello");
  write_file(dir / "latin1.manifest", "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\xE9</assembly>");
  write_file(dir / "other.xml", "<html></html>");
  struct Case {
    const char* what;
    ResourceEdits edits;
    std::string file;
    const char* problem;
  } cases[] = {
      {"icon not an icon", {dir / "text.txt", {}, {}}, (dir / "text.txt").string(), "is not a usable icon file"},
      {"icon missing", {dir / "none.ico", {}, {}}, (dir / "none.ico").string(), "cannot open"},
      {"manifest not XML", {{}, dir / "text.txt", {}}, (dir / "text.txt").string(), "is not XML"},
      {"manifest not UTF-8", {{}, dir / "latin1.manifest", {}}, (dir / "latin1.manifest").string(), "is not UTF-8"},
      {"manifest of something else",
       {{}, dir / "other.xml", {}},
       (dir / "other.xml").string(),
       "has no assembly element"},
      {"file version", {{}, {}, {.file_version = "v2"}}, "--file-version", "'v2' does not start with"},
      {"product version", {{}, {}, {.product_version = "1.2.3.4.5"}}, "--product-version", "does not start with"},
      {"too long", {{}, {}, {.company_name = std::string(1001, 'c')}}, "--company-name", "longer than 1000"},
  };
  for (const Case& c : cases) {
    auto prepared = prepare_resource_edits(c.edits, dir / "out.exe");
    ASSERT_FALSE(prepared.ok()) << c.what;
    EXPECT_EQ(prepared.failure().file, c.file) << c.what;
    EXPECT_NE(prepared.failure().problem.find(c.problem), std::string::npos)
        << c.what << ": " << prepared.failure().problem;
  }
}

}  // namespace
}  // namespace vorbel::pack
