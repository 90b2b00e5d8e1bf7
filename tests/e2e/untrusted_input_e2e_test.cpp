// End-to-end tests of what a packed launcher must survive from its payload and
// its environment: names of 511 levels, an application file without an
// extension, a frame damaged after its last entry, and an inherited start time
// that tries to steer the extraction directory onto the user's files.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <filesystem>

#include "tests/e2e/e2e_support.h"
#include "tests/support/payload_builder.h"

namespace fs = std::filesystem;

namespace {

std::vector<TestEntry> sample_entries(const std::wstring& app_name = L"sample_app.dll") {
  return {{app_name, read_file(sample_app_dll())}, {L"sample_helper.dll", read_file(sample_helper_dll())}};
}

// A frame as the build tool writes it: compressed, with content size and checksum.
std::string checked_frame(const std::string& content) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  size_t size = ZSTD_compress2(context, frame.data(), frame.size(), content.data(), content.size());
  ZSTD_freeCCtx(context);
  EXPECT_FALSE(ZSTD_isError(size));
  frame.resize(size);
  return frame;
}

TEST(UntrustedInput, ANameOf511LevelsIsUnpackedAndRun) {
  PackedApp app(sample_app_dll(), false);
  std::wstring deep;
  for (int level = 0; level < 511; ++level) deep += L"a/";
  deep += L"f";
  write_file(app.scratch.path() / L"deep.txt", "deep");
  run_pack({L"build", L"--launcher", launcher_exe(), L"--app", sample_app_dll(), L"--add", sample_helper_dll(),
            L"--add", (app.scratch.path() / L"deep.txt").wstring() + L"=" + deep, L"-o", app.exe.wstring()});
  ProcessResult result = app.run({});
  EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  auto report = report_of(result.out);
  EXPECT_EQ(value(report, "helper"), "hello from sample_helper.dll");
  std::wstring stored = deep;
  std::replace(stored.begin(), stored.end(), L'/', L'\\');
  std::vector<std::string> files = values(report, "file");
  EXPECT_NE(std::find(files.begin(), files.end(), narrow(stored)), files.end()) << "the application sees the deep file";
  // The shell's delete gives up on a tree this deep; the cleanup's own walk does not.
  std::vector<fs::path> left = app.left_in_temp();
  EXPECT_TRUE(left.empty());
  for (const fs::path& path : left) remove_chain(path, stored);
}

TEST(UntrustedInput, AnApplicationFileWithoutExtensionIsLoadedAsWritten) {
  // A dot in a directory's name is no extension of the file's.
  for (const wchar_t* name : {L"myapp", L"bin.d\\myapp"}) {
    EmbeddedPayload payload(sample_entries(name));
    ProcessResult result = payload.run();
    EXPECT_EQ(result.exit_code, 0u) << narrow(name) << result.out << result.err;
    EXPECT_EQ(value(report_of(result.out), "helper"), "hello from sample_helper.dll") << narrow(name);
    EXPECT_TRUE(fs::is_empty(payload.temp)) << narrow(name);
  }
}

TEST(UntrustedInput, AFrameCutOrDamagedAfterItsEntriesStopsBeforeTheApplicationRuns) {
  const std::string frame = checked_frame(entry_stream(sample_entries()));
  struct Case {
    std::string what;
    std::string frame;
  };
  std::vector<Case> cases;
  for (size_t cut = 1; cut <= 4; ++cut) {
    cases.push_back({"cut " + std::to_string(cut) + " bytes into the checksum", frame.substr(0, frame.size() - cut)});
  }
  cases.push_back({"cut inside the last block", frame.substr(0, frame.size() - 9)});
  std::string flipped = frame;
  flipped[flipped.size() - 2] ^= 0x10;
  cases.push_back({"checksum byte flipped", flipped});
  for (const Case& c : cases) {
    EmbeddedPayload payload(payload_resource(c.frame));
    ProcessResult result = payload.run();
    EXPECT_EQ(result.exit_code, 2u) << c.what;
    EXPECT_EQ(result.out, text_mode("Error, couldn't decode attached data.\n")) << c.what;
    EXPECT_EQ(result.err, "") << c.what;
  }
  // Whatever follows a complete frame is ignored.
  EmbeddedPayload trailing(payload_resource(frame + std::string("trailing bytes \x28\xB5\x2F\xFD", 19)));
  ProcessResult result = trailing.run();
  EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
  EXPECT_EQ(value(report_of(result.out), "helper"), "hello from sample_helper.dll");
  EXPECT_TRUE(fs::is_empty(trailing.temp));
}

TEST(UntrustedInput, AnInheritedStartTimeSteersTheDirectoryOnlyWhenItIsATimeStamp) {
  PackedApp app(sample_app_dll(), false);
  // {TEMP}\onefile_{PID}_x\..\..\victim would be the scratch directory's victim\.
  write_file(app.scratch.path() / L"victim" / L"keep.txt", "the user's own file");
  RunOptions hostile;
  hostile.env = {{L"VORBEL_ONEFILE_START", L"x\\..\\..\\victim"}};
  ProcessResult result = app.run({}, hostile);
  EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
  auto report = report_of(result.out);
  EXPECT_EQ(value(report, "VORBEL_ONEFILE_START").find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(read_file(app.scratch.path() / L"victim" / L"keep.txt"), "the user's own file");
  EXPECT_TRUE(app.left_in_temp().empty());

  RunOptions inherited;
  inherited.env = {{L"VORBEL_ONEFILE_START", L"134116992000000000"}};
  result = app.run({}, inherited);
  EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
  report = report_of(result.out);
  EXPECT_EQ(value(report, "VORBEL_ONEFILE_START"), "134116992000000000");
  EXPECT_TRUE(value(report, "app_dir").ends_with("_134116992000000000")) << value(report, "app_dir");
  EXPECT_TRUE(app.left_in_temp().empty());
}

}  // namespace
