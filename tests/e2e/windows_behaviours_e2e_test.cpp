// Packed programs run through the test variant of the launcher, which shows
// what Windows does and Wine does not (tests/behaviours/): here an elevated
// token, which owns every directory made without an owner named, and a
// scanner that holds every file for a while after it is written. A run as
// administrator must still find its own bundle and sweep its own leftovers;
// a first start under a scanner must still unpack once and place its bundle.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace {

// Every file and directory below root with its last write time; a bundle's
// lock with its name alone, as each start stamps it with the time of its use.
std::map<std::string, fs::file_time_type> tree_with_times(const fs::path& root) {
  std::map<std::string, fs::file_time_type> times;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    bool lock = entry.path().filename() == L"vorbel.lck";
    times[narrow(fs::relative(entry.path(), root).wstring())] = lock ? fs::file_time_type{} : entry.last_write_time();
  }
  return times;
}

TEST(ElevatedRuns, ACachedProgramFindsItsOwnBundleOnALaterStartAndUnpacksOnce) {
  WithBehaviours elevated(L"elevated");
  PackedApp app(sample_app_dll(), true, {L"--cache"});
  ProcessResult first = app.run({L"--exit", L"4"});
  ASSERT_EQ(first.exit_code, 4u) << first.out << first.err;
  const auto after_first = tree_with_times(app.local);

  ProcessResult later = app.run({L"--exit", L"5"});
  EXPECT_EQ(later.exit_code, 5u) << later.out << later.err;
  EXPECT_EQ(later.err, "");
  // Its own bundle taken for someone else's would send it to "app.2" and on,
  // unpacking each time, and at last to TEMP.
  const auto after_later = tree_with_times(app.local);
  ASSERT_EQ(tree_of(app.local).size(), after_first.size()) << "the later start ran from the first start's bundle";
  EXPECT_EQ(after_later, after_first) << "and wrote nothing but its lock's stamp";
  EXPECT_TRUE(app.left_in_temp().empty());
}

TEST(ElevatedRuns, AFreshRunKilledHardIsSweptByTheNextRun) {
  WithBehaviours elevated(L"elevated");
  PackedApp app(probe_app_dll(), false);
  DWORD child = orphan_application(app, app.scratch.path() / L"child-runs");
  ASSERT_NE(child, 0u) << "the application started";
  end_process_hard(child);
  std::vector<fs::path> left = app.left_in_temp();
  ASSERT_EQ(left.size(), 1u);

  ProcessResult next = app.run({L"--fault", L"exit-process", L"12"});
  EXPECT_EQ(next.exit_code, 12u) << next.out << next.err;
  EXPECT_TRUE(app.left_in_temp().empty()) << "the killed run's directory is the user's own, and swept";
  remove_left(left[0]);
}

// The scanner holds each file 50 ms after its close, so the first start's
// rename of its working directory is refused at first: it waits, renames,
// and runs from the bundle, having unpacked once and left nothing else.
TEST(ScannerRuns, AFirstStartUnpacksOnceAndPlacesItsBundle) {
  WithBehaviours scanner(L"scanner=50");
  PackedApp app(sample_app_dll(), true, {L"--cache"});
  ProcessResult first = app.run({L"--exit", L"4"});
  ASSERT_EQ(first.exit_code, 4u) << first.out << first.err;
  EXPECT_EQ(first.err, "");
  std::vector<std::string> folders;
  for (const auto& entry : fs::directory_iterator(app.local / L"app")) {
    folders.push_back(narrow(entry.path().filename().wstring()));
  }
  ASSERT_EQ(folders.size(), 1u) << "one bundle, no working directory";
  EXPECT_EQ(folders[0].size(), 16u) << folders[0];
  EXPECT_EQ(value(report_of(first.out), "VORBEL_ONEFILE_CONTENTS"),
            narrow((app.local / L"app" / widen(folders[0])).wstring()));
  EXPECT_TRUE(app.left_in_temp().empty()) << "no fall-back into TEMP";
  const auto after_first = tree_with_times(app.local);

  ProcessResult later = app.run({L"--exit", L"5"});
  EXPECT_EQ(later.exit_code, 5u) << later.out << later.err;
  EXPECT_EQ(tree_with_times(app.local), after_first)
      << "a later start runs from the bundle and writes nothing but its lock's stamp";
}

}  // namespace
