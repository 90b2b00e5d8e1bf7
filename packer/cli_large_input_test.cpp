// Tests of vorbel-pack build on what large inputs bring: the scratch file of
// the streamed payload, inputs too large for any Windows program, and the
// exclusion and reporting of names in trees packed as they are.
#include <gtest/gtest.h>

#include "packer/cli_test_support.h"
#include "packer/synthetic_image.h"
#include "packer/test_files.h"

namespace vorbel::pack {
namespace {

namespace fs = std::filesystem;
using namespace vorbel::pack::testing;  // run, str, ScratchDir and the file helpers

// The payload is compressed into a scratch file beside the output; it must be
// gone after a build and after one that fails half-way through compressing.
// A /proc file lists as empty and then reads as text: an input that grew.
TEST(PackCli, LeavesOnlyTheOutputBehindWhetherPackingSucceedsOrFailsHalfWay) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "in/app.dll", pe::synthetic_dll());
  write_file(dir / "in/big.bin", testing::pseudo_random(3 << 20, 7));
  const fs::path out = dir / "out/app.exe";
  fs::create_directories(out.parent_path());
  const auto left_in_output_folder = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out.parent_path())) names.push_back(entry.path().filename());
    return names;
  };
  Outcome built = run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "in/app.dll"), "--add",
                       str(dir / "in/big.bin"), "--level", "1", "-o", str(out)});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  EXPECT_EQ(left_in_output_folder(), std::vector<std::string>{"app.exe"});
  const std::string earlier = read_file(out);

  Outcome grew =
      run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "in/app.dll"), "--add",
           str(dir / "in/big.bin"), "--add", "/proc/self/status=status.txt", "--level", "1", "-o", str(out)});
  EXPECT_EQ(grew.status, kExitBadInput);
  EXPECT_EQ(grew.err, "vorbel-pack: /proc/self/status: grew while being packed (it had 0 bytes)\n");
  EXPECT_EQ(left_in_output_folder(), std::vector<std::string>{"app.exe"});
  EXPECT_TRUE(read_file(out) == earlier);
}

TEST(PackCli, ExcludeLeavesAddedFilesOutAndEveryBadNameGetsALine) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  for (const char* name : {"tree/keep.txt", "tree/sub/app.pdb", "tree/bad?.txt", "tree/nul.txt"})
    write_file(dir / name, "x");
  std::vector<std::string> arguments = {
      "build",           "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
      str(dir / "tree"), "--exclude",  "**/*.PDB",           "-o",    str(dir / "out.exe")};
  Outcome refused = run(arguments);
  EXPECT_EQ(refused.status, kExitBadInput);
  EXPECT_EQ(refused.err, "vorbel-pack: " + str(dir / "tree/bad?.txt") +
                             ": entry name 'tree\\bad?.txt' contains '?', which Windows forbids in file names\n"
                             "vorbel-pack: " +
                             str(dir / "tree/nul.txt") +
                             ": entry name 'tree\\nul.txt' uses the reserved device name 'nul'\n");
  arguments.insert(arguments.end(), {"--exclude", "tree/bad?.*", "--exclude=TREE/NUL.TXT"});
  Outcome built = run(arguments);
  ASSERT_EQ(built.status, kExitOk) << built.err;
  EXPECT_EQ(run({"list", str(dir / "out.exe")}).out,
            "      2560  app.dll\n         1  tree\\keep.txt\nsubsystem: GUI\nsettings: none\n");
  EXPECT_EQ(run({"build", "--exclude", "", "--app", "a", "-o", "b"}).status, kExitUsage);
}

TEST(PackCli, WarnsOfAnExcludePatternThatLeftNothingOutAndStillPacks) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  write_file(dir / "tree/sub/app.pdb", "x");
  Outcome built =
      run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
           str(dir / "tree") + "=.", "--exclude", "*.pdb", "--exclude", "sub/*.pdb", "-o", str(dir / "out.exe")});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  EXPECT_EQ(built.err,
            "vorbel-pack: warning: --exclude '*.pdb' left out nothing: no added file or folder matches it\n");
}

// Five sparse files of 15 TiB: no compression could bring 75 TiB below the
// 2 GiB Windows loads, so nothing is compressed and nothing is left behind.
TEST(PackCli, RefusesAnInputNoCompressionCouldFitBeforeCompressingIt) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  fs::create_directories(dir / "huge");
  std::error_code error;
  for (char name = 'a'; name < 'f' && !error; ++name) {
    write_file(dir / "huge" / std::string(1, name), "");
    fs::resize_file(dir / "huge" / std::string(1, name), uint64_t{15} << 40, error);
  }
  if (error) GTEST_SKIP() << "this file system holds no sparse 15 TiB files: " << error.message();
  Outcome refused = run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
                         str(dir / "huge"), "-o", str(dir / "out.exe")});
  EXPECT_EQ(refused.status, kExitBadInput);
  EXPECT_EQ(refused.err, "vorbel-pack: " + str(dir / "out.exe") +
                             ": cannot be made: the input is 82463372085896 bytes, which even the best compression "
                             "leaves at 2516582407, more than the 2147483647 bytes (2 GiB) Windows can load\n");
  EXPECT_FALSE(fs::exists(dir / "out.exe"));
  for (const auto& entry : fs::directory_iterator(dir.path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".out.exe"));
}

}  // namespace
}  // namespace vorbel::pack
