// Tests of the kept bundle directory's checks: whose a directory is (links
// and other owners shown through the seam, as Wine has neither), and which
// bundles count as whole, never one whose record names a file outside it.
#include "payload/bundle_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/run_state.h"
#include "common/system_calls.h"
#include "payload/bundle_record.h"
#include "tests/support/bundle_record_bytes.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"

namespace fs = std::filesystem;

namespace {

const wchar_t ID[] = L"00112233aabbccdd";

void write_record(const fs::path& bundle, const BundleEntries& entries) {
  std::vector<uint8_t> bytes = bundle_record_bytes(entries, reinterpret_cast<const char16_t*>(ID));
  write_file(bundle / L"vorbel.lst", std::string(bytes.begin(), bytes.end()));
}

TEST(BundleDirectory, OnlyTheUsersOwnRealDirectoryIsOwn) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"0011223344556677";
  EXPECT_EQ(check_own_directory(dir.c_str()), NO_DIRECTORY);
  write_file(dir, "a file");
  EXPECT_EQ(check_own_directory(dir.c_str()), FOREIGN_DIRECTORY);
  fs::remove(dir);
  fs::create_directories(dir);
  EXPECT_EQ(check_own_directory(dir.c_str()), OWN_DIRECTORY);
  marked_link_path = dir.wstring();
  {
    SystemCallOverride by_path(system_calls.GetFileAttributesW, attributes_marking_link);
    EXPECT_EQ(check_own_directory(dir.c_str()), FOREIGN_DIRECTORY);
  }
  {
    SystemCallOverride on_handle(system_calls.GetFileInformationByHandleEx, handle_information_marking_link);
    EXPECT_EQ(check_own_directory(dir.c_str()), FOREIGN_DIRECTORY);
  }
  {
    SystemCallOverride foreign(system_calls.GetSecurityInfo, owned_by_everyone);
    EXPECT_EQ(check_own_directory(dir.c_str()), FOREIGN_DIRECTORY);
  }
}

TEST(BundleDirectory, WholeOnlyWhenEveryRecordedFileIsThereWithItsSizeAndInside) {
  ScratchDir scratch;
  fs::path bundle = scratch.path() / ID;
  write_file(bundle / L"app.dll", "dll");
  write_file(bundle / L"lib" / L"helper.dll", "helper");
  write_file(scratch.path() / L"outside.dll", "out");
  write_record(bundle, {{u"app.dll", 3}, {u"lib\\helper.dll", 6}});
  first_entry_path[0] = L'\0';
  EXPECT_TRUE(bundle_is_whole(bundle.c_str(), ID));
  EXPECT_EQ(std::wstring(first_entry_path), (bundle / L"app.dll").wstring());

  EXPECT_FALSE(bundle_is_whole(bundle.c_str(), L"ffffffffffffffff")) << "another payload's record";
  write_record(bundle, {{u"app.dll", 3}, {u"lib\\helper.dll", 7}});
  EXPECT_FALSE(bundle_is_whole(bundle.c_str(), ID)) << "a size that differs";
  write_record(bundle, {{u"app.dll", 3}, {u"lib", 0}});
  EXPECT_FALSE(bundle_is_whole(bundle.c_str(), ID)) << "a directory where a file should be";
  write_record(bundle, {{u"..\\outside.dll", 3}});
  EXPECT_FALSE(bundle_is_whole(bundle.c_str(), ID)) << "a file outside the bundle";
  write_record(bundle, {{u"C:\\outside.dll", 3}});
  EXPECT_FALSE(bundle_is_whole(bundle.c_str(), ID));
  fs::remove(bundle / L"vorbel.lst");
  EXPECT_FALSE(bundle_is_whole(bundle.c_str(), ID)) << "no record";
}

}  // namespace
