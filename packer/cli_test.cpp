// Tests of the vorbel-pack command line, run in-process against the Windows
// build's launcher: round trips through build/list/extract/verify, identical
// output for identical input, and the failures that keep an earlier output;
// the refusals case by case are in cli_refusal_test.cpp.
#include "packer/cli.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <sstream>

#include "packer/cli_test_support.h"
#include "packer/launcher_image.h"
#include "packer/payload_writer.h"
#include "packer/pe_resources.h"
#include "packer/synthetic_image.h"
#include "packer/test_files.h"
#include "packer/test_icon.h"
#include "payload/launch_settings_format.h"
#include "payload/payload_format.h"

namespace vorbel::pack {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::read_file;
using testing::run;
using testing::ScratchDir;
using testing::str;
using testing::write_file;

// Root reads every file whatever its mode, so as root the command runs in a
// child process that has given root up (user and group "nobody", 65534).
Outcome run_without_root(const std::vector<std::string>& arguments) {
  if (geteuid() != 0) return run(arguments);
  int channel[2];
  if (pipe(channel) != 0) return {-1, "", "pipe failed"};
  pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    Outcome outcome = run(arguments);
    std::string report = std::to_string(outcome.status) + "\n" + outcome.err;
    ssize_t written = write(channel[1], report.data(), report.size());
    _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 98);
  }
  close(channel[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
  close(channel[0]);
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  size_t newline = report.find('\n');
  if (newline == std::string::npos) return {-1, "", "the unprivileged child reported nothing"};
  return {std::stoi(report.substr(0, newline)), "", report.substr(newline + 1)};
}

// The files of a tree with their contents, by relative generic path.
std::map<std::string, std::string> tree_of(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).generic_string()] = read_file(entry.path());
  }
  return files;
}

// An application tree with the sizes and shapes that have broken packers:
// empty files, sizes around the launcher's write chunk, deep and non-ASCII names.
void make_app_tree(const ScratchDir& dir) {
  write_file(dir / "app.dll", pe::synthetic_dll());
  write_file(dir / "tree/empty.txt", "");
  write_file(dir / "tree/chunk_32768.bin", testing::pseudo_random(32768, 2));
  write_file(dir / "tree/chunk_32769.bin", testing::pseudo_random(32769, 3, 16));
  std::string deep = "tree";
  for (int level = 0; level < 40; ++level) deep += "/d" + std::to_string(level);
  write_file(dir / deep / "bottom.txt", "deep");
  write_file(dir / testing::u8path(u8"tree/\u00DCber/\u6587\u4EF6 \U0001F600.txt"), "unicode");
}

TEST(PackCli, BuildThenListExtractAndVerifyGiveBackTheTree) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  make_app_tree(dir);
  const fs::path out = dir / "out.exe";
  Outcome built = run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
                       str(dir / "tree") + "=.", "--level", "3", "-o", str(out)});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  EXPECT_EQ(built.err, "");

  Outcome listed = run({"list", str(out)});
  ASSERT_EQ(listed.status, kExitOk) << listed.err;
  std::string deep_name;
  for (int level = 0; level < 40; ++level) deep_name += "d" + std::to_string(level) + "\\";
  // app.dll is the 2560-byte synthetic DLL.
  EXPECT_EQ(listed.out,
            "      2560  app.dll\n"
            "     32768  chunk_32768.bin\n"
            "     32769  chunk_32769.bin\n"
            "         4  " +
                deep_name +
                "bottom.txt\n"
                "         0  empty.txt\n"
                "         7  \xC3\x9C"
                "ber\\\xE6\x96\x87\xE4\xBB\xB6 \xF0\x9F\x98\x80.txt\n"
                "subsystem: GUI\n"
                "settings: none\n");

  Outcome extracted = run({"extract", str(out), str(dir / "x")});
  ASSERT_EQ(extracted.status, kExitOk) << extracted.err;
  auto expected = tree_of(dir / "tree");
  expected["app.dll"] = read_file(dir / "app.dll");
  EXPECT_EQ(tree_of(dir / "x"), expected);

  Outcome verified = run({"verify", str(out)});
  ASSERT_EQ(verified.status, kExitOk) << verified.err;
  // The sizes listed above, added up.
  EXPECT_NE(verified.out.find(": ok, 6 entries, 68108 bytes"), std::string::npos) << verified.out;
}

TEST(PackCli, SameInputsGiveIdenticalBytesWhateverTheThreadsAndTimes) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  make_app_tree(dir);
  const auto build = [&](const char* threads, const fs::path& out) {
    return run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add", str(dir / "tree"),
                "--threads", threads, "-o", str(out)})
        .status;
  };
  // The output's file name goes into its version resource: the same name in two folders.
  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  ASSERT_EQ(build("1", dir / "a/out.exe"), kExitOk);
  // Time stamps must not reach the output.
  fs::last_write_time(dir / "app.dll", fs::last_write_time(dir / "app.dll") - std::chrono::hours(50));
  ASSERT_EQ(build("4", dir / "b/out.exe"), kExitOk);
  EXPECT_TRUE(read_file(dir / "a/out.exe") == read_file(dir / "b/out.exe"));
}

TEST(PackCli, PackedImageKeepsTheLauncherResourcesAndRepackingReplacesThePayload) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "first.dll", pe::synthetic_dll());
  write_file(dir / "second.dll", pe::synthetic_dll({"run_code", "second"}));
  ASSERT_EQ(
      run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "first.dll"), "-o", str(dir / "1.exe")})
          .status,
      kExitOk);
  ASSERT_EQ(run({"build", "--launcher", str(dir / "1.exe"), "--app", str(dir / "second.dll"), "-o", str(dir / "2.exe")})
                .status,
            kExitOk);
  EXPECT_EQ(run({"list", str(dir / "2.exe")}).out,
            "      2560  second.dll\nsubsystem: GUI\nsettings: none\n");  // the synthetic DLL's size

  const auto resources_of = [](const fs::path& path) {
    auto image = pe::parse_image(read_whole_file(path).value());
    return pe::read_resources(image.value()).value();
  };
  pe::ResourceTree original = resources_of(VORBEL_TEST_LAUNCHER);
  pe::ResourceTree packed = resources_of(dir / "2.exe");
  for (const auto& type : original.types) {
    if (type.key.is_id(16)) continue;  // names the output: read below
    for (const auto& name : type.names) {
      const pe::ResourceData* kept = pe::find_resource(packed, type.key.id, name.key.id);
      ASSERT_NE(kept, nullptr) << type.key.id << "/" << name.key.id;
      EXPECT_EQ(kept->bytes, name.languages.front().bytes);
    }
  }
  auto version = parse_version_resource(pe::find_resource(packed, 16, 1)->bytes).value();
  auto launcher_version = parse_version_resource(pe::find_resource(original, 16, 1)->bytes).value();
  EXPECT_EQ(version_string(version, u"OriginalFilename"), u"2.exe");
  EXPECT_EQ(version_string(version, u"InternalName"), u"2");
  EXPECT_EQ(version_string(version, u"ProductName"), version_string(launcher_version, u"ProductName"));
  EXPECT_EQ(version.value, launcher_version.value);
}

TEST(PackCli, EmbedGivesTheSameImageAsBuildForTheSamePayload) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  make_app_tree(dir);
  fs::create_directories(dir / "built");
  fs::create_directories(dir / "embedded");
  ASSERT_EQ(run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add", str(dir / "tree"),
                 "-o", str(dir / "built/out.exe")})
                .status,
            kExitOk);
  auto resource = payload_resource_of(read_whole_file(dir / "built/out.exe").value());
  ASSERT_TRUE(resource.ok());
  write_file(dir / "payload.bin", std::string(resource->begin(), resource->end()));
  Outcome embedded = run({"embed", "--launcher", VORBEL_TEST_LAUNCHER, "--payload", str(dir / "payload.bin"), "-o",
                          str(dir / "embedded/out.exe")});
  ASSERT_EQ(embedded.status, kExitOk) << embedded.err;
  EXPECT_TRUE(read_file(dir / "built/out.exe") == read_file(dir / "embedded/out.exe"));
  // Both stream the payload into the file; the image made whole in memory is the reference.
  auto in_memory = embed_payload(read_whole_file(VORBEL_TEST_LAUNCHER).value(), resource.value(),
                                 prepare_resource_edits({}, dir / "built/out.exe").value());
  ASSERT_TRUE(in_memory.ok());
  EXPECT_TRUE(read_file(dir / "built/out.exe") == std::string(in_memory->file.begin(), in_memory->file.end()));
}

// A payload resource made by hand: the synthetic DLL as app.dll, the end
// marker, then `after_end_marker`, in one frame with or without a checksum.
std::string hand_made_payload(bool checksum, const std::string& after_end_marker = "") {
  const std::string dll = pe::synthetic_dll();
  std::vector<uint8_t> content = entry_header(u"app.dll", dll.size());
  content.insert(content.end(), dll.begin(), dll.end());
  content.insert(content.end(), {0, 0});
  content.insert(content.end(), after_end_marker.begin(), after_end_marker.end());
  std::string resource(PAYLOAD_HEADER, PAYLOAD_HEADER + PAYLOAD_HEADER_SIZE);
  resource.resize(PAYLOAD_HEADER_SIZE + ZSTD_compressBound(content.size()));
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  size_t frame = ZSTD_compress2(context, resource.data() + PAYLOAD_HEADER_SIZE, resource.size() - PAYLOAD_HEADER_SIZE,
                                content.data(), content.size());
  ZSTD_freeCCtx(context);
  EXPECT_FALSE(ZSTD_isError(frame));
  resource.resize(PAYLOAD_HEADER_SIZE + frame);
  return resource;
}

// The launcher runs a frame without a content checksum, so such a payload is
// packed and verified, but never silently: nothing can tell it was damaged.
TEST(PackCli, PayloadWithoutAChecksumIsPackedAndVerifiedWithAWarning) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "payload.bin", hand_made_payload(false));

  Outcome embedded = run(
      {"embed", "--launcher", VORBEL_TEST_LAUNCHER, "--payload", str(dir / "payload.bin"), "-o", str(dir / "out.exe")});
  ASSERT_EQ(embedded.status, kExitOk) << embedded.err;
  EXPECT_EQ(embedded.err, "vorbel-pack: warning: " + str(dir / "payload.bin") +
                              ": the payload frame carries no content checksum, so damage to the packed files "
                              "cannot be detected (by verify or by the launcher)\n");
  Outcome verified = run({"verify", str(dir / "out.exe")});
  ASSERT_EQ(verified.status, kExitOk) << verified.err;
  EXPECT_TRUE(verified.out.starts_with(str(dir / "out.exe") + ": ok, 1 entries, ")) << verified.out;
  EXPECT_TRUE(verified.out.ends_with(
      "\n" + str(dir / "out.exe") +
      ": warning: the payload frame carries no content checksum, so damage to the packed files cannot be detected\n"))
      << verified.out;
  EXPECT_EQ(verified.err, "");
}

// The launcher drops what the frame decodes to after the end marker and runs
// the program; verify says so and passes, as the launcher would run it.
TEST(PackCli, VerifyWarnsOfBytesAfterTheEndMarkerAndPasses) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "payload.bin", hand_made_payload(true, "extra"));
  Outcome embedded = run(
      {"embed", "--launcher", VORBEL_TEST_LAUNCHER, "--payload", str(dir / "payload.bin"), "-o", str(dir / "out.exe")});
  ASSERT_EQ(embedded.status, kExitOk) << embedded.err;
  Outcome verified = run({"verify", str(dir / "out.exe")});
  ASSERT_EQ(verified.status, kExitOk) << verified.err;
  EXPECT_TRUE(verified.out.starts_with(str(dir / "out.exe") + ": ok, 1 entries, ")) << verified.out;
  EXPECT_TRUE(verified.out.ends_with("\n" + str(dir / "out.exe") +
                                     ": warning: the payload decodes to 5 bytes after its end marker, which belong to "
                                     "no entry; the launcher ignores them\n"))
      << verified.out;
  EXPECT_EQ(verified.err, "");
}

TEST(PackCli, SignedLauncherLosesItsSignatureWithANotice) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  // A certificate table appended to the launcher: the tool cannot re-sign, so must drop it.
  auto launcher = read_whole_file(VORBEL_TEST_LAUNCHER).value();
  auto image = pe::parse_image(launcher).value();
  const size_t security = image.optional_header_offset + (image.pe32_plus ? 112 : 96) + 8 * pe::kDirSecurity;
  const uint32_t at = static_cast<uint32_t>(launcher.size());
  launcher.insert(launcher.end(), {16, 0, 0, 0, 0, 2, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8});
  pe::put_u32(launcher, security, at);
  pe::put_u32(launcher, security + 4, 16);
  write_file(dir / "signed.exe", std::string(launcher.begin(), launcher.end()));
  write_file(dir / "app.dll", pe::synthetic_dll());

  Outcome built =
      run({"build", "--launcher", str(dir / "signed.exe"), "--app", str(dir / "app.dll"), "-o", str(dir / "o.exe")});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  EXPECT_EQ(built.err, "vorbel-pack: " + str(dir / "signed.exe") +
                           ": its Authenticode signature was removed, because packing invalidates it; sign " +
                           str(dir / "o.exe") + " after packing\n");
}

TEST(PackCli, UnreadableFileFailsTheBuildAndKeepsAnEarlierOutput) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  write_file(dir / "secret", "s");
  write_file(dir / "out.exe", "earlier output");
  fs::permissions(dir / "secret", fs::perms::none);
  fs::permissions(dir.path(), fs::perms::all);  // the unprivileged child writes its temporary file here
  Outcome built = run_without_root({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
                                    str(dir / "secret"), "-o", str(dir / "out.exe")});
  EXPECT_EQ(built.status, kExitBadInput);
  EXPECT_EQ(built.err, "vorbel-pack: " + str(dir / "secret") + ": cannot open: Permission denied\n");
  EXPECT_EQ(read_file(dir / "out.exe"), "earlier output");
}

// A payload whose size the system will not tell (a device here) is refused
// with the error the size query gave, not whatever errno held before it.
TEST(PackCli, EmbedReportsTheErrorThatKeptItFromThePayloadsSize) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  std::error_code expected;
  (void)fs::file_size("/dev/null", expected);
  ASSERT_TRUE(expected) << "/dev/null has a size here";
  Outcome embedded =
      run({"embed", "--launcher", VORBEL_TEST_LAUNCHER, "--payload", "/dev/null", "-o", str(dir / "out.exe")});
  EXPECT_EQ(embedded.status, kExitBadInput);
  EXPECT_EQ(embedded.err, "vorbel-pack: /dev/null: cannot read its size: " + expected.message() + "\n");
  EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

TEST(PackCli, FailedBuildKeepsAnEarlierOutputUntouched) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  write_file(dir / "out.exe", "earlier output");
  Outcome built = run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
                       str(dir / "app.dll") + "=CON", "-o", str(dir / "out.exe")});
  EXPECT_EQ(built.status, kExitBadInput);
  EXPECT_EQ(read_file(dir / "out.exe"), "earlier output");
}

TEST(PackCli, FindsTheLauncherBesideTheToolOrInTheInstalledLayout) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  const std::string launcher = read_file(VORBEL_TEST_LAUNCHER);
  write_file(dir / "dist/launcher.exe", launcher);
  write_file(dir / "prefix/share/vorbel/launcher.exe", launcher);
  fs::create_directories(dir / "prefix/bin");
  for (const fs::path& tool_directory : {dir / "dist", dir / "prefix/bin"}) {
    Outcome built = run({"build", "--app", str(dir / "app.dll"), "-o", str(dir / "out.exe")}, tool_directory);
    ASSERT_EQ(built.status, kExitOk) << built.err;
    EXPECT_TRUE(payload_resource_of(read_whole_file(dir / "out.exe").value()).ok());
  }
}

TEST(PackCli, WarnsOfImportedDllsThatNeitherThePayloadNorWindowsProvidesAndStillPacks) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  // A DLL no mingw-w64 toolchain of the host holds, so that the warning names no folder.
  write_file(dir / "app.dll", pe::synthetic_dll({"run_code"}, {"KERNEL32.dll", "libexample-6.dll", "helper.dll"}));
  write_file(dir / "helper.dll", pe::synthetic_dll({"help"}, {"msvcrt.dll"}));
  Outcome built = run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
                       str(dir / "helper.dll"), "-o", str(dir / "out.exe")});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  EXPECT_EQ(built.err, "vorbel-pack: warning: " + str(dir / "app.dll") +
                           ": imports libexample-6.dll, which is neither in the payload nor part of Windows: --add the "
                           "DLL, or --search-path the folder that holds it (it is then added with the DLLs it "
                           "imports)\n");
  EXPECT_TRUE(fs::exists(dir / "out.exe"));
}

TEST(PackCli, WarnsOnceOfNamesWhoseUnpackedPathsPassWindowsLimitsAndStillPacks) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  write_file(dir / "notes.txt", "n");
  const std::string long_file = "deep\\" + std::string(175, 'n');                // 180 units: a 262-unit path
  const std::string long_folder = "data\\" + std::string(161, 'd') + "\\x.txt";  // its folder: 248 units
  Outcome built = run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
                       str(dir / "notes.txt") + "=" + long_folder, "--add", str(dir / "notes.txt") + "=" + long_file,
                       "--add", str(dir / "notes.txt"), "-o", str(dir / "out.exe")});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  EXPECT_EQ(built.err, "vorbel-pack: warning: " + long_file +
                           ": with a typical %TEMP% its unpacked path would be 262 UTF-16 units, past the 259 Windows "
                           "takes without long paths enabled (and 1 more such entry); the launcher then uses the "
                           "\\\\?\\ long-path form\n");
  EXPECT_EQ(run({"verify", str(dir / "out.exe")}).status, kExitOk);
}

TEST(PackCli, ANameEndingInASeparatorMeansIntoThatFolder) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  write_file(dir / "notes.txt", "n");
  write_file(dir / "assets/a.txt", "a");
  Outcome built = run({"build", "--launcher", VORBEL_TEST_LAUNCHER, "--app", str(dir / "app.dll"), "--add",
                       str(dir / "notes.txt") + "=docs/", "--add", str(dir / "assets") + "=data\\", "--add",
                       str(dir / "assets") + "=./", "-o", str(dir / "out.exe")});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  Outcome listed = run({"list", str(dir / "out.exe")});
  EXPECT_NE(listed.out.find("  a.txt\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("  data\\a.txt\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("  docs\\notes.txt\n"), std::string::npos) << listed.out;
}

TEST(PackCli, PutsTheApplicationsIconVersionAndManifestIntoThePackedProgram) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "app.dll", pe::synthetic_dll());
  const std::vector<uint8_t> ico = testing::solid_icon({{16, 0xff00ff00}, {40, 0xff0000ff}});
  write_file(dir / "app.ico", std::string(ico.begin(), ico.end()));
  write_file(dir / "app.manifest", "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>");
  Outcome built = run({"build",
                       "--launcher",
                       VORBEL_TEST_LAUNCHER,
                       "--app",
                       str(dir / "app.dll"),
                       "--icon",
                       str(dir / "app.ico"),
                       "--manifest",
                       str(dir / "app.manifest"),
                       "--product-name",
                       "Zeta",
                       "--product-version",
                       "3.1",
                       "--file-version",
                       "3.1.4.1",
                       "--company-name",
                       "Zeta Ltd",
                       "--copyright",
                       "(c) Zeta",
                       "--internal-name",
                       "zeta",
                       "-o",
                       str(dir / "Zeta.exe")});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  auto image = pe::parse_image(read_whole_file(dir / "Zeta.exe").value()).value();
  auto tree = pe::read_resources(image).value();
  const auto images = parse_ico(ico).value();
  EXPECT_EQ(pe::find_resource(tree, 14, 1)->bytes, icon_group_resource(images, 1));
  EXPECT_EQ(pe::find_resource(tree, 3, 2)->bytes, images[1].bytes);
  EXPECT_EQ(pe::find_resource(tree, 3, 3), nullptr);  // the launcher's other images are gone
  EXPECT_EQ(pe::find_resource(tree, 24, 1)->bytes, read_whole_file(dir / "app.manifest").value());
  auto version = parse_version_resource(pe::find_resource(tree, 16, 1)->bytes).value();
  for (auto [key, value] : std::vector<std::pair<std::u16string, std::u16string>>{{u"ProductName", u"Zeta"},
                                                                                  {u"ProductVersion", u"3.1"},
                                                                                  {u"FileVersion", u"3.1.4.1"},
                                                                                  {u"FileDescription", u"Zeta"},
                                                                                  {u"CompanyName", u"Zeta Ltd"},
                                                                                  {u"LegalCopyright", u"(c) Zeta"},
                                                                                  {u"InternalName", u"zeta"},
                                                                                  {u"OriginalFilename", u"Zeta.exe"}})
    EXPECT_EQ(version_string(version, key), value);
  EXPECT_EQ(pe::get_u32(version.value, 8), 0x00030001u);
  EXPECT_EQ(pe::get_u32(version.value, 12), 0x00040001u);
  EXPECT_EQ(pe::get_u32(version.value, 16), 0x00030001u);
}

TEST(PackCli, HelpAndVersionGoToStandardOutput) {
  Outcome help = run({"--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_NE(help.out.find("--add PATH=NAME"), std::string::npos);
  Outcome version = run({"--version"});
  EXPECT_EQ(version.status, kExitOk);
  EXPECT_TRUE(version.out.starts_with("vorbel-pack ")) << version.out;
  // Both licences, each with the installed file that holds it.
  EXPECT_NE(version.out.find("zlib licence (share/doc/vorbel/LICENSE)"), std::string::npos) << version.out;
  EXPECT_NE(version.out.find("BSD licence (share/doc/vorbel/LICENSE.zstd)"), std::string::npos) << version.out;
}

// Help is asked wherever an option may stand, even beside a mistake, but an
// option's value "--help" stays a value.
TEST(PackCli, EveryCommandTakesHelpAndShowsItsOwnUsageAndOptions) {
  struct Case {
    std::vector<std::string> arguments;
    const char* usage;  // the first line begins so
    const char* shown;  // in the help
  };
  const Case cases[] = {
      {{"build", "--help"}, "usage: vorbel-pack build [--launcher", "--add PATH=NAME"},
      {{"build", "--level", "99", "-h"}, "usage: vorbel-pack build [--launcher", "--icon FILE.ico"},
      {{"embed", "-h"}, "usage: vorbel-pack embed [--launcher", "--cache-dir SPEC"},
      {{"list", "a.exe", "b.exe", "--help"}, "usage: vorbel-pack list PACKED.exe\n", "list      Prints"},
      {{"extract", "-h"}, "usage: vorbel-pack extract PACKED.exe DIR\n", "extract   Unpacks"},
      {{"verify", "--help"}, "usage: vorbel-pack verify PACKED.exe\n", "verify    Reads"},
      {{"cache", "clean", "x.exe", "-h"},
       "usage: vorbel-pack cache list|clean [PACKED.exe]\n",
       "clean              removes"},
  };
  for (const Case& c : cases) {
    Outcome help = run(c.arguments);
    EXPECT_EQ(help.status, kExitOk) << c.arguments[0] << ": " << help.err;
    EXPECT_EQ(help.err, "") << c.arguments[0];
    EXPECT_TRUE(help.out.starts_with(c.usage)) << help.out;
    EXPECT_NE(help.out.find(c.shown), std::string::npos) << help.out;
    EXPECT_TRUE(help.out.ends_with("2 usage error.\n")) << help.out;
    // Another command's options are not this one's.
    if (c.arguments[0] != "build") EXPECT_EQ(help.out.find("--add PATH"), std::string::npos) << help.out;
  }
  Outcome value = run({"build", "--arg", "--help", "--app", "app.dll", "-o", "out.exe"});
  EXPECT_EQ(value.status, kExitUsage);
  EXPECT_EQ(value.out, "");
  EXPECT_NE(value.err.find("needs --launcher"), std::string::npos) << value.err;
}

// The host tool cannot tell whether a running program holds a bundle, so it
// removes and lists nothing, but says so only for a well-formed command.
TEST(PackCli, CacheTakesListOrCleanAndOneProgramAndWorksOnlyInTheWindowsTool) {
  struct Case {
    std::vector<std::string> arguments;
    const char* problem;
  };
  const Case usage_errors[] = {
      {{"cache"}, "vorbel-pack: cache needs list or clean\n"},
      {{"cache", "remove", "app.exe"}, "vorbel-pack: unknown cache action 'remove': list or clean\n"},
      {{"cache", "list", "--root", "C:\\cache"}, "vorbel-pack: unknown option '--root' for cache list\n"},
      {{"cache", "clean", "a.exe", "b.exe"}, "vorbel-pack: cache clean takes one PACKED.exe at most\n"},
      {{"cache", "clean", ""}, "vorbel-pack: cache clean: PACKED.exe is empty\n"},
  };
  for (const Case& c : usage_errors) {
    Outcome refused = run(c.arguments);
    EXPECT_EQ(refused.status, kExitUsage) << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(refused.err.starts_with(c.problem)) << refused.err;
  }
  for (const char* action : {"list", "clean"}) {
    Outcome elsewhere = run({"cache", action, "app.exe"});
    EXPECT_EQ(elsewhere.status, kExitBadInput);
    EXPECT_EQ(elsewhere.out, "");
    EXPECT_TRUE(elsewhere.err.starts_with("vorbel-pack: cache works only in the Windows build tool")) << elsewhere.err;
  }
}

TEST(PackCli, VersionNamesLibzstdAndTheLauncherFoundBesideTheTool) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "launcher.exe", read_file(VORBEL_TEST_LAUNCHER));
  const std::string first_line = "vorbel-pack " + std::string(VORBEL_PACK_VERSION) + " (libzstd " +
                                 ZSTD_versionString() + ", from Debian's source " VORBEL_ZSTD_DEBIAN_VERSION ")\n";
  Outcome alone = run({"--version"});
  EXPECT_EQ(alone.status, kExitOk);
  EXPECT_TRUE(alone.out.starts_with(first_line)) << alone.out;
  EXPECT_EQ(alone.out.find("launcher: "), std::string::npos) << alone.out;
  Outcome beside = run({"--version"}, dir.path());
  EXPECT_EQ(beside.status, kExitOk);
  EXPECT_TRUE(beside.out.starts_with(first_line + "launcher: " + str(dir / "launcher.exe") + ", version "))
      << beside.out;
  EXPECT_NE(beside.out.find(", reads settings records up to version " + std::to_string(LAUNCH_SETTINGS_VERSION) + "\n"),
            std::string::npos)
      << beside.out;
}

TEST(PackCli, TakesArgumentsFromAFileWhereNamesWithBlanksNeedNoQuotes) {
  REQUIRE_LAUNCHER();
  ScratchDir dir;
  write_file(dir / "my app/app.dll", pe::synthetic_dll());
  write_file(dir / "my notes.txt", "notes");
  write_file(dir / "opts.txt", "--launcher\r\n" + std::string(VORBEL_TEST_LAUNCHER) + "\r\n--app\r\n" +
                                   str(dir / "my app/app.dll") + "\r\n--add\r\n" + str(dir / "my notes.txt") +
                                   "=docs/\r\n");
  Outcome built = run({"build", "@" + str(dir / "opts.txt"), "-o", str(dir / "out.exe")});
  ASSERT_EQ(built.status, kExitOk) << built.err;
  Outcome listed = run({"list", str(dir / "out.exe")});
  EXPECT_NE(listed.out.find("  docs\\my notes.txt\n"), std::string::npos) << listed.out;

  Outcome missing = run({"build", "@" + str(dir / "none.txt")});
  EXPECT_EQ(missing.status, kExitBadInput);
  EXPECT_TRUE(missing.err.starts_with("vorbel-pack: " + str(dir / "none.txt") + ": cannot open: ")) << missing.err;
}

}  // namespace
}  // namespace vorbel::pack
