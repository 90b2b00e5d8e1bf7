// Tests of the shared path rules where three readings became one: which
// paths are absolute, and which folder names are a bundle's.
#include "common/launcher_names.h"

#include <gtest/gtest.h>

namespace {

TEST(AbsolutePathKind, TellsDrivesServersAndDevicesFromTheRest) {
  struct Case {
    const char16_t* path;
    AbsolutePath kind;
  };
  const Case cases[] = {
      {u"C:\\Users", DRIVE_PATH},      {u"c:/users", DRIVE_PATH},         {u"C:", NOT_ABSOLUTE},
      {u"C:relative", NOT_ABSOLUTE},   {u"1:\\x", NOT_ABSOLUTE},          {u"\\\\server\\share", NETWORK_PATH},
      {u"//server/share\\x", NETWORK_PATH}, {u"\\\\server", NOT_ABSOLUTE}, {u"\\\\server\\", NOT_ABSOLUTE},
      {u"\\\\\\share", NOT_ABSOLUTE},  {u"\\\\server\\\\x", NOT_ABSOLUTE}, {u"\\\\?\\C:\\x", DEVICE_PATH},
      {u"\\\\.\\pipe\\x", DEVICE_PATH}, {u"\\rooted", NOT_ABSOLUTE},      {u"relative\\x", NOT_ABSOLUTE},
      {u"", NOT_ABSOLUTE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(absolute_path_kind(c.path), c.kind) << std::u16string(c.path).size();
  }
}

TEST(BundleFolderName, IsTheIdMaybeWithOneOrTwoDigitsAfterADot) {
  EXPECT_TRUE(is_bundle_folder_name(u"0123456789abcdef"));
  EXPECT_TRUE(is_bundle_folder_name(u"0123456789abcdef.2"));
  EXPECT_TRUE(is_bundle_folder_name(u"0123456789abcdef.18"));
  EXPECT_FALSE(is_bundle_folder_name(u"0123456789ABCDEF"));
  EXPECT_FALSE(is_bundle_folder_name(u"0123456789abcde"));
  EXPECT_FALSE(is_bundle_folder_name(u"0123456789abcdef0"));
  EXPECT_FALSE(is_bundle_folder_name(u"0123456789abcdef."));
  EXPECT_FALSE(is_bundle_folder_name(u"0123456789abcdef.123"));
  EXPECT_FALSE(is_bundle_folder_name(u"unpacking_1_2"));
}

TEST(SpecReferences, AreFoundWhateverTheirLetterCase) {
  ASSERT_NE(find_spec_reference(u"cache_dir", 9), nullptr);
  EXPECT_EQ(find_spec_reference(u"cache_dir", 9)->id, SPEC_CACHE_DIR);
  EXPECT_TRUE(find_spec_reference(u"Temp", 4)->absolute);
  EXPECT_FALSE(find_spec_reference(u"PID", 3)->absolute);
  EXPECT_EQ(find_spec_reference(u"TIMES", 5), nullptr);
  EXPECT_EQ(find_spec_reference(u"TIMES", 4)->id, SPEC_TIME);
}

}  // namespace
