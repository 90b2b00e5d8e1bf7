// Tests of argument files: how lines become arguments (line ends, a last
// line end, a byte order mark, blanks kept), the "@@" escape, and the
// refusals that name the file and the line.
#include "packer/argument_files.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "packer/test_files.h"

namespace vorbel::pack {
namespace {

using testing::ScratchDir;
using testing::write_file;
using Arguments = std::vector<std::string>;
using namespace std::string_literals;

TEST(ArgumentsIn, EveryLineIsOneArgumentWithoutItsLineEnd) {
  struct Case {
    const char* what;
    std::string text;
    Arguments arguments;
  };
  const Case cases[] = {
      {"empty file", "", {}},
      {"last line ended", "--app\nmy app.dll\n", {"--app", "my app.dll"}},
      {"last line not ended", "--app\nmy app.dll", {"--app", "my app.dll"}},
      {"CR LF line ends", "-o\r\nout.exe\r\n", {"-o", "out.exe"}},
      {"only the last CR goes", "a\r\r\n", {"a\r"}},
      {"empty lines are empty arguments", "\n--arg\n\n", {"", "--arg", ""}},
      {"blanks, quotes and @ kept", "  two  words \n\"q\"\n@not-a-file\n", {"  two  words ", "\"q\"", "@not-a-file"}},
      {"byte order mark", "\xEF\xBB\xBF--app\n", {"--app"}},
      {"non-ASCII", "caf\xC3\xA9 \xF0\x9F\x98\x80\n", {"caf\xC3\xA9 \xF0\x9F\x98\x80"}},
  };
  for (const Case& c : cases) {
    auto read = arguments_in(c.text, "opts.txt");
    ASSERT_TRUE(read.ok()) << c.what << ": " << read.failure().problem;
    EXPECT_EQ(read.value(), c.arguments) << c.what;
  }
}

TEST(ArgumentsIn, RefusesALineNoCommandLineCouldCarryNamingTheLine) {
  struct Case {
    const char* what;
    std::string text;
    const char* problem;
  };
  const Case cases[] = {
      {"invalid UTF-8", "ok\n--arg\nbad \xFF\n", "line 3 is not valid UTF-8: 'bad \\xFF'"},
      {"Latin-1 text", "caf\xE9\r\n", "line 1 is not valid UTF-8"},
      {"a NUL byte", "a\nb\0c\n"s, "line 2 holds a NUL character"},
  };
  for (const Case& c : cases) {
    auto read = arguments_in(c.text, "opts.txt");
    ASSERT_FALSE(read.ok()) << c.what;
    EXPECT_EQ(read.failure().file, "opts.txt") << c.what;
    EXPECT_TRUE(read.failure().problem.starts_with(c.problem)) << c.what << ": " << read.failure().problem;
  }
}

TEST(ExpandArgumentFiles, ReplacesEachFileByItsLinesAndUnescapesDoubleAt) {
  ScratchDir dir;
  write_file(dir / "opts.txt", "--app\nmy app.dll\n@inner.txt\n");
  write_file(dir / "more.txt", "-o\nout.exe");
  const std::string opts = "@" + (dir / "opts.txt").string(), more = "@" + (dir / "more.txt").string();
  auto expanded = expand_argument_files({"build", opts, "@@x", "--arg", "@@", more});
  ASSERT_TRUE(expanded.ok()) << expanded.failure().problem;
  EXPECT_EQ(expanded.value(),
            (Arguments{"build", "--app", "my app.dll", "@inner.txt", "@x", "--arg", "@", "-o", "out.exe"}));

  auto missing = expand_argument_files({"build", "@" + (dir / "none.txt").string()});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.failure().file, (dir / "none.txt").string());
  EXPECT_TRUE(missing.failure().problem.starts_with("cannot open: ")) << missing.failure().problem;

  auto directory = expand_argument_files({"@" + dir.path().string()});
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.failure().file, dir.path().string());

  auto bare = expand_argument_files({"build", "@"});
  ASSERT_FALSE(bare.ok());
  EXPECT_NE(bare.failure().problem.find("'@' names no argument file"), std::string::npos);
}

}  // namespace
}  // namespace vorbel::pack
