// Tests of --console: the packed copy differs from the GUI one in the
// subsystem field and the checksum only, and the checksum is the image's own.
#include "packer/console_subsystem.h"

#include <gtest/gtest.h>

#include <sstream>

#include "packer/cli.h"
#include "packer/pe_resources.h"
#include "packer/test_files.h"

#ifndef VORBEL_TEST_LAUNCHER
#define VORBEL_TEST_LAUNCHER ""
#endif
#ifndef VORBEL_TEST_APP_DLL
#define VORBEL_TEST_APP_DLL ""
#endif

namespace vorbel::pack {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

std::vector<uint8_t> bytes_of(const fs::path& path) {
  std::string text = testing::read_file(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

int pack(std::vector<std::string> arguments, std::string* err) {
  std::ostringstream out, errors;
  Console console{out, errors, false};
  int status = run_cli(arguments, console);
  *err = errors.str();
  return status;
}

TEST(ConsoleSubsystem, ConsoleCopyDiffersOnlyInSubsystemAndChecksum) {
  if (!fs::is_regular_file(VORBEL_TEST_LAUNCHER) || !fs::is_regular_file(VORBEL_TEST_APP_DLL))
    GTEST_SKIP() << "build the Windows tree first (make windows)";
  ScratchDir dir;
  std::string err;
  const fs::path helper = fs::path(VORBEL_TEST_APP_DLL).parent_path() / "sample_helper.dll";
  const std::vector<std::string> common = {"--launcher", VORBEL_TEST_LAUNCHER, "--app", VORBEL_TEST_APP_DLL,
                                           "--add", helper.string(), "--level", "1"};
  std::vector<std::string> gui = {"build"}, console = {"build", "--console"};
  for (auto* arguments : {&gui, &console}) arguments->insert(arguments->end(), common.begin(), common.end());
  // One file name for both: it goes into the version resource.
  fs::create_directories(dir / "gui");
  fs::create_directories(dir / "console");
  gui.insert(gui.end(), {"-o", (dir / "gui" / "app.exe").string()});
  console.insert(console.end(), {"-o", (dir / "console" / "app.exe").string()});
  ASSERT_EQ(pack(gui, &err), kExitOk) << err;
  ASSERT_EQ(pack(console, &err), kExitOk) << err;
  EXPECT_EQ(err, "");

  auto gui_file = bytes_of(dir / "gui" / "app.exe");
  auto console_file = bytes_of(dir / "console" / "app.exe");
  ASSERT_EQ(gui_file.size(), console_file.size());
  EXPECT_EQ(subsystem_of(gui_file).value(), kSubsystemGui);
  EXPECT_EQ(subsystem_of(console_file).value(), kSubsystemConsole);

  auto image = pe::parse_image(console_file);
  ASSERT_TRUE(image.ok()) << image.error();
  const size_t checksum_at = image->optional_header_offset + 64;
  EXPECT_EQ(pe::get_u32(console_file, checksum_at), pe::pe_checksum(console_file, checksum_at));
  EXPECT_NE(pe::get_u32(console_file, checksum_at), pe::get_u32(gui_file, checksum_at));
  for (size_t i = 0; i < gui_file.size(); ++i) {
    const bool patched = (i >= checksum_at && i < checksum_at + 4) ||
                         (i >= image->optional_header_offset + 68 && i < image->optional_header_offset + 70);
    if (!patched) ASSERT_EQ(gui_file[i], console_file[i]) << "byte " << i;
  }
}

}  // namespace
}  // namespace vorbel::pack
