// The command line's run options: the settings record that --arg,
// --exact-arguments and --error-dialog write, what list and verify show of it,
// and the launchers and records that are refused. Beside cli_test.cpp, sharing
// its in-process runner (cli_test_support.h).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "packer/cli_test_support.h"
#include "packer/launcher_image.h"
#include "packer/pe_resources.h"
#include "packer/synthetic_image.h"
#include "packer/test_files.h"

namespace vorbel::pack {
namespace {

namespace fs = std::filesystem;
using namespace vorbel::pack::testing;  // run, str, ScratchDir and the file helpers

std::vector<uint8_t> with_resource(const std::vector<uint8_t>& file, uint32_t id, std::optional<std::string> bytes) {
  auto image = pe::parse_image(file);
  auto tree = pe::read_resources(image.value()).value();
  if (bytes) {
    pe::set_resource(tree, 10, id, 0, std::vector<uint8_t>(bytes->begin(), bytes->end()));
  } else {
    for (auto& type : tree.types) {
      std::erase_if(type.names, [&](const pe::ResourceName& name) { return type.key.is_id(10) && name.key.is_id(id); });
    }
  }
  return pe::write_image(image.value(), tree)->file;
}

TEST(PackCliSettings, RunOptionsGoIntoARecordThatListAndVerifyShowAndRepackingDrops) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  ASSERT_EQ(run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--arg",
                 "{CONTENTS}\\main.lua", "--arg={{x}} *", "--arg", "", "--exact-arguments", "--error-dialog", "-o",
                 str(dir / "set.exe")})
                .status,
            kExitOk);
  EXPECT_EQ(run({"list", str(dir / "set.exe")}).out,
            "      2560  app.dll\n"
            "subsystem: GUI\n"
            "settings: version 1, exact arguments, error dialog, 3 built-in arguments\n"
            "argument: {CONTENTS}\\main.lua\n"
            "argument: {{x}} *\n"
            "argument: \n");
  Outcome verified = run({"verify", str(dir / "set.exe")});
  EXPECT_NE(verified.out.find("set.exe: subsystem: GUI\n"), std::string::npos) << verified.out;
  EXPECT_NE(verified.out.find("set.exe: settings: version 1, exact arguments, error dialog, 3 built-in arguments\n"),
            std::string::npos)
      << verified.out;

  // Packed again without run options, with the packed program as launcher:
  // the earlier record must not outlive its payload.
  ASSERT_EQ(run({"build", "--launcher", str(dir / "set.exe"), "--app", str(dir / "app.dll"), "--console", "-o",
                 str(dir / "plain.exe")})
                .status,
            kExitOk);
  EXPECT_EQ(run({"list", str(dir / "plain.exe")}).out, "      2560  app.dll\nsubsystem: console\nsettings: none\n");
  Outcome dialog = run({"build", "--launcher", str(dir / "plain.exe"), "--app", str(dir / "app.dll"),
                        "--error-dialog", "-o", str(dir / "dialog.exe")});
  EXPECT_EQ(dialog.status, kExitBadInput);
  EXPECT_EQ(dialog.err, "vorbel-pack: " + str(dir / "plain.exe") +
                            ": is a console program, and so would the packed one be: --error-dialog is for GUI "
                            "programs\n");
}

TEST(PackCliSettings, ALauncherBuiltBeforeTheRecordIsRefusedForRunOptionsOnly) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  const auto old = with_resource(read_whole_file(VORBEL_TEST_LAUNCHER).value(), 29, std::nullopt);
  write_file(dir / "old.exe", std::string(old.begin(), old.end()));
  Outcome refused = run({"build", "--launcher", str(dir / "old.exe"), "--app", str(dir / "app.dll"), "--arg", "x",
                         "--exact-arguments", "-o", str(dir / "out.exe")});
  EXPECT_EQ(refused.status, kExitBadInput);
  EXPECT_EQ(refused.err, "vorbel-pack: " + str(dir / "old.exe") +
                             ": was built before pack-time settings and would ignore them, so it cannot take --arg, "
                             "--exact-arguments: pack with the launcher of this release\n");
  EXPECT_FALSE(fs::exists(dir / "out.exe"));
  EXPECT_EQ(run({"build", "--launcher", str(dir / "old.exe"), "--app", str(dir / "app.dll"), "-o",
                 str(dir / "out.exe")})
                .status,
            kExitOk);
}

TEST(PackCliSettings, ADamagedRecordOrTooManyArgumentsAreRefused) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  std::vector<std::string> arguments = {"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll")};
  for (int i = 0; i < 65; ++i) arguments.insert(arguments.end(), {"--arg", "a"});
  arguments.insert(arguments.end(), {"-o", str(dir / "many.exe")});
  Outcome many = run(arguments);
  EXPECT_EQ(many.status, kExitBadInput);
  EXPECT_EQ(many.err, "vorbel-pack: 65 built-in arguments (--arg) are more than the 64 the launcher takes\n");

  ASSERT_EQ(run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "-o", str(dir / "ok.exe")})
                .status,
            kExitOk);
  const auto damaged =
      with_resource(read_whole_file(dir / "ok.exe").value(), 28, std::string("VLS\x02", 4) + std::string(8, '\0'));
  write_file(dir / "damaged.exe", std::string(damaged.begin(), damaged.end()));
  for (const char* command : {"list", "verify"}) {
    Outcome read = run({command, str(dir / "damaged.exe")});
    EXPECT_EQ(read.status, kExitBadInput);
    EXPECT_EQ(read.err, "vorbel-pack: " + str(dir / "damaged.exe") +
                            ": settings record (RT_RCDATA 28) cannot be read: its version is not 1, the one this tool "
                            "and its launcher read\n");
  }
}

}  // namespace
}  // namespace vorbel::pack
