// Tests of input collection: entry names and order from --app/--add, and the
// refusal of links, special files and names that cannot be packed.
// POSIX host only (symbolic links, fifos, non-UTF-8 names).
#include "packer/input_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "packer/test_files.h"

namespace vorbel::pack {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using testing::write_file;

std::vector<std::u16string> names_of(const std::vector<InputFile>& files) {
  std::vector<std::u16string> names;
  for (const auto& file : files) names.push_back(file.name);
  return names;
}

// A failure's file, relative to the scratch directory, and its problem.
std::pair<std::string, std::string> failure_of(const Result<std::vector<InputFile>>& result, const ScratchDir& dir) {
  if (result.ok()) return {"(none)", "(succeeded)"};
  std::string file = result.failure().file;
  std::string root = dir.path().string() + "/";
  if (file.starts_with(root)) file = file.substr(root.size());
  return {file, result.failure().problem};
}

TEST(AddRequest, SplitsAtTheLastEquals) {
  struct Case {
    const char* argument;
    const char* path;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {"assets", "assets", std::nullopt},
      {"assets=data", "assets", "data"},
      {"assets=.", "assets", "."},
      {"assets=", "assets", ""},
      {"a=b=c", "a=b", "c"},
  };
  for (const auto& c : cases) {
    AddRequest request = parse_add_request(c.argument);
    EXPECT_EQ(request.path, fs::path(c.path)) << c.argument;
    EXPECT_EQ(request.name, c.name) << c.argument;
  }
}

TEST(CollectInputs, AppComesFirstThenEverythingElseInOrdinalOrderOfUtf16Names) {
  ScratchDir dir;
  write_file(dir / "zz_app.dll", "app");
  write_file(dir / "tree/b.txt", "b");
  write_file(dir / "tree/B2.txt", "B2");
  write_file(dir / "tree/sub/deep/x", "x");
  write_file(dir / testing::u8path(u8"tree/\u00E9.txt"), "e");
  write_file(dir / testing::u8path(u8"tree/\U0001F600.txt"), "emoji");  // in UTF-16 order below U+E000..U+FFFF
  write_file(dir / testing::u8path(u8"tree/\uFF21.txt"), "fullwidth A");
  write_file(dir / "single.cfg", "single");
  fs::create_directories(dir / "tree/empty");

  auto files = collect_inputs(dir / "zz_app.dll", {{dir / "tree", std::nullopt}, {dir / "single.cfg", "conf/s.cfg"}});
  ASSERT_TRUE(files.ok()) << files.failure().file << ": " << files.failure().problem;
  std::vector<std::u16string> expected = {
      u"zz_app.dll",         u"conf\\s.cfg",      u"tree\\B2.txt",           u"tree\\b.txt",
      u"tree\\sub\\deep\\x", u"tree\\\u00E9.txt", u"tree\\\xD83D\xDE00.txt", u"tree\\\uFF21.txt",
  };
  EXPECT_EQ(names_of(files.value()), expected);
  EXPECT_EQ(files->front().size, 3u);
  EXPECT_EQ(files->front().path, dir / "zz_app.dll");
}

TEST(CollectInputs, AddNamesPlaceTreesAndFiles) {
  ScratchDir dir;
  write_file(dir / "app.dll", "");
  write_file(dir / "data/a/x.txt", "x");
  write_file(dir / "icon.png", "i");
  struct Case {
    const char* what;
    AddRequest add;
    std::u16string first_added;
  };
  const Case cases[] = {
      {"directory under its own name", {dir / "data", std::nullopt}, u"data\\a\\x.txt"},
      {"directory with a trailing slash", {dir / "data/", std::nullopt}, u"data\\a\\x.txt"},
      {"directory as '.'", {dir / "data/a/..", std::nullopt}, u"data\\a\\x.txt"},
      {"directory at the top with '.'", {dir / "data", "."}, u"a\\x.txt"},
      {"directory at the top with ''", {dir / "data", ""}, u"a\\x.txt"},
      {"directory under a nested name", {dir / "data", "share/my app"}, u"share\\my app\\a\\x.txt"},
      {"file under a new name", {dir / "icon.png", "res\\app.png"}, u"res\\app.png"},
  };
  for (const auto& c : cases) {
    auto files = collect_inputs(dir / "app.dll", {c.add});
    ASSERT_TRUE(files.ok()) << c.what << ": " << files.failure().problem;
    ASSERT_EQ(files->size(), 2u) << c.what;
    EXPECT_EQ(files.value()[1].name, c.first_added) << c.what;
  }
}

TEST(CollectInputs, FollowsLinksToFilesAndDirectoriesUnderTheLinkName) {
  ScratchDir dir;
  write_file(dir / "app.dll", "");
  write_file(dir / "real/lib.so.1", "library");
  write_file(dir / "shared/x", "x");
  fs::create_directories(dir / "tree");
  fs::create_symlink("../real/lib.so.1", dir / "tree/lib.so");
  fs::create_directory_symlink("../shared", dir / "tree/linked");
  fs::create_directory_symlink("../shared", dir / "tree/linked_again");  // twice is no cycle

  auto files = collect_inputs(dir / "app.dll", {{dir / "tree", std::nullopt}});
  ASSERT_TRUE(files.ok()) << files.failure().problem;
  std::vector<std::u16string> expected = {u"app.dll", u"tree\\lib.so", u"tree\\linked\\x", u"tree\\linked_again\\x"};
  EXPECT_EQ(names_of(files.value()), expected);
  EXPECT_EQ(files.value()[1].size, 7u);
}

struct RefusalCase {
  const char* what;
  std::function<void(const ScratchDir&)> make;  // builds the tree below "in"
  std::vector<AddRequest> (*adds)(const ScratchDir&);
  const char* file;     // expected failure file, relative to the scratch directory
  const char* problem;  // a part of the expected problem
};

std::vector<AddRequest> add_in(const ScratchDir& dir) { return {{dir / "in", std::nullopt}}; }

TEST(CollectInputs, RefusesWhatCannotBePackedNamingTheHostFile) {
  const RefusalCase cases[] = {
      {"missing input", [](const ScratchDir&) {}, add_in, "in", "no such file"},
      {"broken link",
       [](const ScratchDir& d) { fs::create_directories(d / "in"), fs::create_symlink("nowhere", d / "in/dangling"); },
       add_in, "in/dangling", "symbolic link to nothing"},
      {"directory cycle",
       [](const ScratchDir& d) {
         fs::create_directories(d / "in/sub"), fs::create_directory_symlink("..", d / "in/sub/up");
       },
       add_in, "in/sub/up", "directory cycle"},
      {"fifo", [](const ScratchDir& d) { fs::create_directories(d / "in"), mkfifo((d / "in/pipe").c_str(), 0600); },
       add_in, "in/pipe", "neither a file nor a directory"},
      {"file name not UTF-8", [](const ScratchDir& d) { write_file(d / "in" / "caf\xE9", ""); }, add_in, "in/caf\\xE9",
       "not valid Unicode"},
      {"reserved name", [](const ScratchDir& d) { write_file(d / "in/aux.h", ""); }, add_in, "in/aux.h",
       "reserved device name"},
      {"forbidden character", [](const ScratchDir& d) { write_file(d / "in/what?.txt", ""); }, add_in, "in/what?.txt",
       "'?'"},
      {"trailing dot", [](const ScratchDir& d) { write_file(d / "in/name.", ""); }, add_in, "in/name.",
       "ending in a dot"},
      {"names differing in case only",
       [](const ScratchDir& d) { write_file(d / "in/README", ""), write_file(d / "in/readme", ""); }, add_in,
       "in/readme", "same file on Windows"},
      {"collision with the application", [](const ScratchDir& d) { write_file(d / "in/APP.DLL", ""); },
       [](const ScratchDir& d) {
         return std::vector<AddRequest>{{d / "in", "."}};
       },
       "in/APP.DLL", "same file"},
      {"name too long once prefixed",
       [](const ScratchDir& d) { write_file(d / "in" / std::string(200, 'a') / std::string(200, 'b'), ""); },
       [](const ScratchDir& d) {
         return std::vector<AddRequest>{{d / "in", std::string(700, 'n')}};
       },
       nullptr, "1102 UTF-16 units"},
      {"file given the top as its name", [](const ScratchDir& d) { write_file(d / "in", ""); },
       [](const ScratchDir& d) {
         return std::vector<AddRequest>{{d / "in", "."}};
       },
       "in", "needs a NAME"},
      {"NAME not UTF-8", [](const ScratchDir& d) { write_file(d / "in", ""); },
       [](const ScratchDir& d) {
         return std::vector<AddRequest>{{d / "in", "\xFF"}};
       },
       "in", "not valid UTF-8"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    write_file(dir / "app.dll", "");
    c.make(dir);
    auto [file, problem] = failure_of(collect_inputs(dir / "app.dll", c.adds(dir)), dir);
    if (c.file) EXPECT_EQ(file, c.file) << c.what;
    EXPECT_NE(problem.find(c.problem), std::string::npos) << c.what << ": " << problem;
  }
}

// One run names every bad name (the first kShownNameProblems, then how many
// more), whatever kind of fault each one has.
TEST(CollectInputs, ReportsEveryBadNameOfATreeInOneRun) {
  ScratchDir dir;
  write_file(dir / "app.dll", "");
  write_file(dir / "in/aux.h", "");
  write_file(dir / "in" / "caf\xE9", "");
  write_file(dir / "in/sub/README", "");
  write_file(dir / "in/sub/readme", "");
  write_file(dir / "in/what?.txt", "");
  auto few = collect_inputs(dir / "app.dll", {{dir / "in", "."}});
  ASSERT_FALSE(few.ok());
  std::vector<std::string> lines = {few.failure().file + ": " + few.failure().problem};
  for (const Failure& more : few.failure().also) lines.push_back(more.file + ": " + more.problem);
  ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
  const std::string root = dir.path().string() + "/";
  EXPECT_TRUE(lines[0].starts_with(root + "in/caf\\xE9: file name is not valid Unicode")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with(root + "in/aux.h: ")) << lines[1];
  EXPECT_TRUE(lines[2].starts_with(root + "in/sub/readme: ")) << lines[2];
  EXPECT_TRUE(lines[3].starts_with(root + "in/what?.txt: ")) << lines[3];

  for (int i = 0; i < 25; ++i)
    write_file(dir / "in" / ("com" + std::to_string(i % 9 + 1) + "." + std::to_string(i)), "");
  auto many = collect_inputs(dir / "app.dll", {{dir / "in", "."}});
  ASSERT_FALSE(many.ok());
  ASSERT_EQ(many.failure().also.size(), kShownNameProblems);
  EXPECT_EQ(many.failure().also.back().problem, "and 9 more names (29 in all) that cannot be packed");
}

// Excluded files are not packed, and an excluded folder is not even read:
// a bad name or an unreadable file in it stops nothing.
TEST(CollectInputs, ExcludedFilesAndFoldersAreLeftOutUnread) {
  ScratchDir dir;
  // Below doc/, a reserved name and a forbidden character.
  for (const char* name : {"app.dll", "in/keep.txt", "in/Debug.PDB", "in/lib/x.pdb", "in/doc/aux.txt",
                           "in/doc/more/what?.txt"})
    write_file(dir / name, "");
  fs::create_directories(dir / "in/doc/more/cycle");
  fs::create_directory_symlink("..", dir / "in/doc/more/cycle/up");
  ExcludePatterns exclude;
  for (const char* pattern : {"**/*.pdb", "tree/DOC/**"}) exclude.add(*ExcludePatterns::parse(pattern));
  auto files = collect_inputs(dir / "app.dll", {{dir / "in", "tree"}, {dir / "app.dll", "copy.pdb"}}, exclude);
  ASSERT_TRUE(files.ok()) << files.failure().file << ": " << files.failure().problem;
  EXPECT_EQ(names_of(files.value()), (std::vector<std::u16string>{u"app.dll", u"tree\\keep.txt"}));
}

TEST(CollectInputs, ApplicationMustBeAFile) {
  ScratchDir dir;
  fs::create_directories(dir / "app.dll");
  auto [file, problem] = failure_of(collect_inputs(dir / "app.dll", {}), dir);
  EXPECT_EQ(file, "app.dll");
  EXPECT_NE(problem.find("must be a file"), std::string::npos) << problem;
}

}  // namespace
}  // namespace vorbel::pack
