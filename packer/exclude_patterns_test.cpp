// Tests of --exclude pattern matching: what each wildcard may cross, case
// folding as Windows compares names, and patterns that would make a
// backtracking matcher take exponential time.
#include "packer/exclude_patterns.h"

#include <gtest/gtest.h>

namespace vorbel::pack {
namespace {

TEST(ExcludePatterns, WildcardsMatchWithinOrAcrossComponentsAsDocumented) {
  struct Case {
    const char* pattern;
    const char16_t* name;
    bool excluded;
  };
  const Case cases[] = {
      {"*.pdb", u"app.pdb", true},
      {"*.pdb", u"lib\\app.pdb", false},  // '*' stays within a component
      {"**/*.pdb", u"app.pdb", true},     // "**/" may be no component at all
      {"**/*.pdb", u"a\\b\\app.pdb", true},
      {"**/*.pdb", u"a\\b\\app.pdbx", false},
      {"**.pdb", u"a\\b\\app.pdb", true},  // a bare '**' crosses separators
      {"share/doc/**", u"share\\doc\\x\\y.txt", true},
      {"share/doc/**", u"share\\docs\\y.txt", false},
      {"share\\**\\*.mo", u"share\\locale\\de\\app.mo", true},
      {"share/**/*.mo", u"share\\app.mo", true},
      {"share/**/*.mo", u"shared\\app.mo", false},
      {"?.txt", u"a.txt", true},
      {"?.txt", u"ab.txt", false},
      {"a?b", u"a\\b", false},  // '?' never matches a separator
      {"lib/*", u"lib\\x\\y", false},
      {"LIB/*.DLL", u"lib\\Qt.dll", true},    // case ignored, as on Windows
      {"\xC3\x9C*", u"\u00FCber.txt", true},  // beyond ASCII too (\u00DC pattern, \u00FC name)
      {"app.dll", u"app.dll.bak", false},     // the whole name must match
  };
  for (const Case& c : cases) {
    ExcludePatterns patterns;
    patterns.add(*ExcludePatterns::parse(c.pattern));
    EXPECT_EQ(patterns.excludes_file(c.name), c.excluded) << c.pattern;
  }
}

TEST(ExcludePatterns, AFolderIsSkippedWholeOnlyWhenEverythingBelowItMatches) {
  ExcludePatterns patterns;
  for (const char* pattern : {"share/doc/**", "**/__pycache__", "*.txt"})
    patterns.add(*ExcludePatterns::parse(pattern));
  EXPECT_TRUE(patterns.excludes_directory(u"share\\doc"));
  EXPECT_TRUE(patterns.excludes_directory(u"SHARE\\DOC"));
  EXPECT_TRUE(patterns.excludes_directory(u"lib\\__pycache__"));
  EXPECT_FALSE(patterns.excludes_directory(u"share"));
  EXPECT_FALSE(patterns.excludes_directory(u"share\\docs"));
  EXPECT_TRUE(patterns.excludes_directory(u"notes.txt"));  // a folder named like a file that matches
}

// A pattern that matched nothing gets a warning, so one that another pattern
// made redundant, or that excluded only a folder, must not count as unused.
TEST(ExcludePatterns, NamesThePatternsThatMatchedNoName) {
  ExcludePatterns patterns;
  for (const char* given : {"*.pdb", "**/*.PDB", "docs/**", "**/*.pdb", "none/*"})
    patterns.add(*ExcludePatterns::parse(given), given);
  EXPECT_FALSE(patterns.excludes_file(u"app.dll"));
  EXPECT_TRUE(patterns.excludes_file(u"lib\\x.pdb"));
  EXPECT_TRUE(patterns.excludes_file(u"lib\\y.pdb"));
  EXPECT_TRUE(patterns.excludes_directory(u"docs"));
  EXPECT_EQ(patterns.unmatched(), (std::vector<std::string>{"*.pdb", "none/*"}));
}

// Written from inside an added folder, a pattern misses its name in front.
TEST(ExcludePatterns, SuggestsThePatternWithTheAddedFolderInFront) {
  const std::vector<std::u16string> names = {u"app.dll", u"Manual\\docs\\a.txt", u"Manual\\b.txt"};
  EXPECT_EQ(pattern_with_folder_in_front("docs/*.TXT", names), "Manual/docs/*.TXT");
  EXPECT_EQ(pattern_with_folder_in_front("docs\\a.txt", names), "Manual/docs\\a.txt");
  EXPECT_EQ(pattern_with_folder_in_front("*.txt", names), std::nullopt) << "not path-like";
  EXPECT_EQ(pattern_with_folder_in_front("**/c.txt", names), std::nullopt) << "matches anywhere already";
  EXPECT_EQ(pattern_with_folder_in_front("other/*.txt", names), std::nullopt);
}

TEST(ExcludePatterns, ManyStarsCostPolynomialTime) {
  std::u16string name(1000, u'a');
  EXPECT_FALSE(pattern_matches(u"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", name));
  EXPECT_FALSE(pattern_matches(u"**a**a**a**a**a**a**a**a**a**a**a**b", name));
}

TEST(ExcludePatterns, RefusesEmptyAndMalformedPatterns) {
  EXPECT_FALSE(ExcludePatterns::parse(""));
  EXPECT_FALSE(ExcludePatterns::parse("\xFF*"));
}

}  // namespace
}  // namespace vorbel::pack
