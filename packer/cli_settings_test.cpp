// The command line's run options: the settings record that --arg,
// --exact-arguments, --error-dialog, --progress-window, --progress and --cache write, what list and verify
// show of it, and the launchers, records and cache choices that are refused. Beside cli_test.cpp, sharing
// its in-process runner (cli_test_support.h).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "packer/cli_test_support.h"
#include "packer/launch_settings_record.h"
#include "packer/launcher_image.h"
#include "packer/pe_resources.h"
#include "packer/sha256.h"
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
  ASSERT_EQ(
      run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--arg", "{CONTENTS}\\main.lua",
           "--arg={{x}} *", "--arg", "", "--exact-arguments", "--error-dialog", "-o", str(dir / "set.exe")})
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
  Outcome dialog = run({"build", "--launcher", str(dir / "plain.exe"), "--app", str(dir / "app.dll"), "--error-dialog",
                        "-o", str(dir / "dialog.exe")});
  EXPECT_EQ(dialog.status, kExitBadInput);
  EXPECT_EQ(dialog.err, "vorbel-pack: " + str(dir / "plain.exe") +
                            ": is a console program, and so would the packed one be: --error-dialog is for GUI "
                            "programs\n");
}

TEST(PackCliSettings, ALauncherBuiltBeforeTheRecordIsRefusedForRunOptionsOnly) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  // A launcher without the marker takes no run option; one that reads
  // version 1 takes all but the cached mode, which needs version 2.
  struct Case {
    const char* launcher;
    std::optional<std::string> marker;
    std::vector<std::string> refused_options;
    std::string problem;
    std::vector<std::string> taken_options;
  };
  const Case cases[] = {
      {"old.exe",
       std::nullopt,
       {"--arg", "x", "--exact-arguments"},
       "was built before pack-time settings and would ignore them, so it cannot take --arg, --exact-arguments",
       {}},
      {"first.exe",
       std::string("VLS\x01", 4),
       {"--arg", "x", "--cache"},
       "reads settings records up to version 1, so it cannot take --arg, --cache, which need version 2",
       {"--arg", "x"}},
  };
  for (const Case& c : cases) {
    const auto launcher = with_resource(read_whole_file(VORBEL_TEST_LAUNCHER).value(), 29, c.marker);
    write_file(dir / c.launcher, std::string(launcher.begin(), launcher.end()));
    const auto build = [&](const std::vector<std::string>& options) {
      std::vector<std::string> arguments = {
          "build", "--launcher", str(dir / c.launcher), "--app", str(dir / "app.dll"), "-o", str(dir / "out.exe")};
      arguments.insert(arguments.end(), options.begin(), options.end());
      return run(arguments);
    };
    Outcome refused = build(c.refused_options);
    EXPECT_EQ(refused.status, kExitBadInput);
    EXPECT_EQ(refused.err, "vorbel-pack: " + str(dir / c.launcher) + ": " + c.problem +
                               ": pack with the launcher of this release\n");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    ASSERT_EQ(build(c.taken_options).status, kExitOk) << c.launcher;
    EXPECT_NE(
        run({"list", str(dir / "out.exe")})
            .out.find(c.taken_options.empty() ? "settings: none\n" : "settings: version 1, 1 built-in argument\n"),
        std::string::npos)
        << c.launcher;
    fs::remove(dir / "out.exe");
  }
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
  // A newer version, and a progress flag in a version before the one that defines it.
  const struct {
    std::string record;
    std::string problem;
  } damaged_cases[] = {
      {std::string("VLS\x04", 4) + std::string(8, '\0'),
       "its version is 4, and this tool and its launcher read versions 1 to 3"},
      {std::string("VLS\x02\x08", 5) + std::string(7, '\0'), "it sets flags its version does not define"},
  };
  for (const auto& c : damaged_cases) {
    const auto damaged = with_resource(read_whole_file(dir / "ok.exe").value(), 28, c.record);
    write_file(dir / "damaged.exe", std::string(damaged.begin(), damaged.end()));
    for (const char* command : {"list", "verify"}) {
      Outcome read = run({command, str(dir / "damaged.exe")});
      EXPECT_EQ(read.status, kExitBadInput);
      EXPECT_EQ(read.err, "vorbel-pack: " + str(dir / "damaged.exe") +
                              ": settings record (RT_RCDATA 28) cannot be read: " + c.problem + "\n");
    }
  }
}

TEST(PackCliSettings, ProgressOptionsWriteVersion3AndEachOnlyForItsKindOfProgram) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  const auto build = [&](std::vector<std::string> options) {
    std::vector<std::string> arguments = {
        "build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "-o", str(dir / "out.exe")};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return run(arguments);
  };
  const struct {
    std::vector<std::string> options;
    std::string listed;
  } taken[] = {
      {{"--progress-window"}, "subsystem: GUI\nsettings: version 3, progress window, 0 built-in arguments\n"},
      {{"--console", "--progress"}, "subsystem: console\nsettings: version 3, progress line, 0 built-in arguments\n"},
  };
  for (const auto& c : taken) {
    ASSERT_EQ(build(c.options).status, kExitOk) << c.listed;
    EXPECT_EQ(run({"list", str(dir / "out.exe")}).out, "      2560  app.dll\n" + c.listed);
    EXPECT_NE(run({"verify", str(dir / "out.exe")}).out.find(c.listed.substr(c.listed.find("settings:"))),
              std::string::npos);
    fs::remove(dir / "out.exe");
  }
  Outcome line_in_gui = build({"--progress"});
  EXPECT_EQ(line_in_gui.status, kExitBadInput);
  EXPECT_EQ(line_in_gui.err, "vorbel-pack: " + std::string(VORBEL_TEST_LAUNCHER) +
                                 ": is a GUI program, and so would the packed one be: --progress is for console "
                                 "programs: add --console, or give --progress-window instead\n");
  EXPECT_FALSE(fs::exists(dir / "out.exe"));

  // A launcher that reads version 2 would refuse the record at every start.
  const auto second = with_resource(read_whole_file(VORBEL_TEST_LAUNCHER).value(), 29, std::string("VLS\x02", 4));
  write_file(dir / "second.exe", std::string(second.begin(), second.end()));
  Outcome older = run({"build", "--launcher", str(dir / "second.exe"), "--app", str(dir / "app.dll"),
                       "--progress-window", "--cache", "-o", str(dir / "out.exe")});
  EXPECT_EQ(older.status, kExitBadInput);
  EXPECT_EQ(older.err, "vorbel-pack: " + str(dir / "second.exe") +
                           ": reads settings records up to version 2, so it cannot take --cache, --progress-window, "
                           "which need version 3: pack with the launcher of this release\n");
  EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

// The text after "bundle " in list's cache line, or "" when there is none.
std::string listed_bundle(const fs::path& packed) {
  const std::string out = run({"list", str(packed)}).out;
  const size_t at = out.find("\ncache: ");
  if (at == std::string::npos) return "";
  const size_t bundle = out.find(", bundle ", at);
  return bundle == std::string::npos ? "" : out.substr(bundle + 9, 16);
}

TEST(PackCliSettings, CacheWritesAVersion2RecordWhoseBundleIdIsTheHashOfThePayloadStored) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  write_file(dir / "data.txt", "some data");
  const auto build = [&](const fs::path& out, std::vector<std::string> more) {
    std::vector<std::string> arguments = {"build",
                                          "--launcher",
                                          VORBEL_TEST_LAUNCHER,
                                          "--app",
                                          str(dir / "app.dll"),
                                          "--add",
                                          str(dir / "data.txt"),
                                          "--cache",
                                          "-o",
                                          str(out)};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return run(arguments);
  };
  Outcome built = build(dir / "Demo.EXE", {"--arg", "{CONTENTS}\\x"});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  const auto resource = payload_resource_of(read_whole_file(dir / "Demo.EXE").value());
  ASSERT_TRUE(resource.ok());
  const std::string bundle = bundle_id_of(sha256(resource.value()));
  Outcome listed = run({"list", str(dir / "Demo.EXE")});
  EXPECT_NE(listed.out.find("      2560  app.dll\n         9  data.txt\nsubsystem: GUI\n"
                            "settings: version 2, 1 built-in argument\n"
                            "cache: application 'Demo', bundle " +
                            bundle + ", root {CACHE_DIR}\nargument: {CONTENTS}\\x\n"),
            std::string::npos)
      << listed.out;
  Outcome verified = run({"verify", str(dir / "Demo.EXE")});
  EXPECT_EQ(verified.status, kExitOk) << verified.err;
  EXPECT_NE(verified.out.find(": cache: application 'Demo', bundle " + bundle), std::string::npos) << verified.out;

  // The same payload under another name and root keeps its id, also when embedded; one changed byte does not.
  ASSERT_EQ(build(dir / "again.exe", {"--product-name", "My Tool", "--cache-dir", "{home}\\Apps\\{PRODUCT}"}).status,
            kExitOk);
  EXPECT_NE(run({"list", str(dir / "again.exe")})
                .out.find("cache: application 'My Tool', bundle " + bundle + ", root {home}\\Apps\\{PRODUCT}\n"),
            std::string::npos);
  write_file(dir / "payload.bin", std::string(resource->begin(), resource->end()));
  Outcome embedded = run({"embed", "--launcher", VORBEL_TEST_LAUNCHER, "--payload", str(dir / "payload.bin"), "--cache",
                          "-o", str(dir / "embedded.exe")});
  ASSERT_EQ(embedded.status, kExitOk) << embedded.err;
  EXPECT_EQ(listed_bundle(dir / "embedded.exe"), bundle);
  write_file(dir / "data.txt", "some date");
  ASSERT_EQ(build(dir / "changed.exe", {}).status, kExitOk);
  EXPECT_NE(listed_bundle(dir / "changed.exe"), bundle);
  EXPECT_EQ(listed_bundle(dir / "changed.exe").size(), 16u);
}

TEST(PackCliSettings, CacheRefusesFolderNamesAndRootsTheLauncherCouldNotUse) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  struct Case {
    std::vector<std::string> options;
    const char* output;
    std::string error;  // after "vorbel-pack: "; empty: packed
  };
  const Case cases[] = {
      {{"--cache", "--product-name", "a:b"},
       "ok.exe",
       "the application folder name 'a:b' (from --product-name) cannot be a folder name: it holds ':', which "
       "Windows does not allow in a name"},
      {{"--cache"},
       "con.exe",
       "the application folder name 'con' (from the name of " + str(dir / "con.exe") +
           ") cannot be a folder name: 'con' is a device name on Windows; give --product-name"},
      {{"--cache"},
       "app..exe",
       "the application folder name 'app.' (from the name of " + str(dir / "app..exe") +
           ") cannot be a folder name: it ends with a blank or a dot, which Windows drops; give --product-name"},
      {{"--cache", "--cache-dir", "{CACHE_DIR}\\{pid}"},
       "ok.exe",
       "--cache-dir '{CACHE_DIR}\\{pid}': {pid} would make a new root for every run, so no run would find what an "
       "earlier one extracted"},
      {{"--cache", "--cache-dir", "{CACHE_DIR}\\{NOPE}"},
       "ok.exe",
       "--cache-dir '{CACHE_DIR}\\{NOPE}': {NOPE} is no name the launcher knows: TEMP, PROGRAM, PROGRAM_BASE, "
       "PROGRAM_DIR, HOME, CACHE_DIR, PRODUCT or VERSION"},
      {{"--cache", "--cache-dir", "{CACHE_DIR\\x"},
       "ok.exe",
       "--cache-dir '{CACHE_DIR\\x': the '{' at character 1 is not closed by a '}' before the next '{' or the end"},
      {{"--cache", "--cache-dir", "{PRODUCT}\\cache"},
       "ok.exe",
       "--cache-dir '{PRODUCT}\\cache': it is not an absolute path: begin it with {CACHE_DIR}, {HOME}, {TEMP}, "
       "{PROGRAM_DIR}, a drive (C:\\) or \\\\server\\share"},
      {{"--cache-dir", "C:\\cache"}, "ok.exe", "--cache-dir is the root of --cache, which was not given"},
      {{"--cache", "--cache-dir", "C:\\cache"}, "ok.exe", ""},
      {{"--cache", "--cache-dir", "\\\\server\\share\\{VERSION}"}, "ok.exe", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {
        "build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "-o", str(dir / c.output)};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    Outcome outcome = run(arguments);
    if (c.error.empty()) {
      EXPECT_EQ(outcome.status, kExitOk) << c.options.back() << ": " << outcome.err;
      continue;
    }
    EXPECT_EQ(outcome.status, kExitUsage) << c.error;
    EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n') + 1), "vorbel-pack: " + c.error + "\n");
    EXPECT_FALSE(fs::exists(dir / c.output)) << c.error;
  }
}

// A bundle id that is not the payload's would let a cached start run the
// files of another payload: verify calls the image damaged.
TEST(PackCliSettings, VerifyRefusesABundleIdThatIsNotThePayloads) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  ASSERT_EQ(run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--cache", "-o",
                 str(dir / "ok.exe")})
                .status,
            kExitOk);
  const std::string bundle = listed_bundle(dir / "ok.exe");
  SettingsChoices choices;
  choices.cache = CacheChoices{"ok", std::string(16, 'a'), ""};
  const auto record = make_settings_record(choices).value();
  const auto wrong =
      with_resource(read_whole_file(dir / "ok.exe").value(), 28, std::string(record.begin(), record.end()));
  write_file(dir / "wrong.exe", std::string(wrong.begin(), wrong.end()));
  Outcome verified = run({"verify", str(dir / "wrong.exe")});
  EXPECT_EQ(verified.status, kExitBadInput);
  EXPECT_EQ(verified.err, "vorbel-pack: " + str(dir / "wrong.exe") + ": is damaged: its settings record names bundle " +
                              std::string(16, 'a') + ", but its payload's is " + bundle + "\n");
  EXPECT_EQ(run({"verify", str(dir / "ok.exe")}).status, kExitOk);
}

// The cached mode's bundle keeps its record under this name at its top: a
// payload entry there would stop every first start.
TEST(PackCliSettings, CacheRefusesAnEntryNamedAsTheBundleRecordAtTheTop) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  write_file(dir / "data" / "VORBEL.LST", "files");
  const auto build = [&](const std::string& add, const fs::path& out, bool cache) {
    std::vector<std::string> arguments = {
        "build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add", add, "-o", str(out)};
    if (cache) arguments.push_back("--cache");
    return run(arguments);
  };
  const fs::path list = dir / "data" / "VORBEL.LST";
  Outcome refused = build(str(list), dir / "cached.exe", true);
  EXPECT_EQ(refused.status, kExitBadInput);
  EXPECT_EQ(refused.err, "vorbel-pack: " + str(list) +
                             ": entry name 'VORBEL.LST' is reserved with --cache: the launcher keeps its record of "
                             "the bundle's files of that name at the top of the bundle directory\n");
  EXPECT_FALSE(fs::exists(dir / "cached.exe"));
  EXPECT_EQ(build(str(dir / "data"), dir / "below.exe", true).status, kExitOk);  // data\VORBEL.LST

  // Packed without the mode, then its payload embedded with it: verify says why it cannot run.
  ASSERT_EQ(build(str(list), dir / "plain.exe", false).status, kExitOk);
  const auto resource = payload_resource_of(read_whole_file(dir / "plain.exe").value());
  ASSERT_TRUE(resource.ok());
  write_file(dir / "payload.bin", std::string(resource->begin(), resource->end()));
  ASSERT_EQ(run({"embed", "--launcher", VORBEL_TEST_LAUNCHER, "--payload", str(dir / "payload.bin"), "--cache", "-o",
                 str(dir / "embedded.exe")})
                .status,
            kExitOk);
  EXPECT_EQ(run({"verify", str(dir / "plain.exe")}).status, kExitOk);
  Outcome verified = run({"verify", str(dir / "embedded.exe")});
  EXPECT_EQ(verified.status, kExitBadInput);
  EXPECT_EQ(verified.err, "vorbel-pack: " + str(dir / "embedded.exe") +
                              ": payload entry name 'VORBEL.LST' is reserved with --cache: the launcher keeps its "
                              "record of the bundle's files of that name at the top of the bundle directory\n");
}

}  // namespace
}  // namespace vorbel::pack
