// Tests of the entry name rules and of the case fold behind name clashes:
// what Windows would refuse, rewrite or take for the same file.
// Host only; no files.
#include "packer/entry_names.h"

#include <gtest/gtest.h>

namespace vorbel::pack {
namespace {

struct NameCase {
  std::u16string name;
  const char* reason;  // nullptr: accepted; otherwise a part of the message
};

TEST(EntryNames, AcceptsWhatWindowsCanHoldAndRefusesTheRestWithTheReason) {
  const NameCase cases[] = {
      {u"app.dll", nullptr},
      {u"lib\\python3.12\\site.py", nullptr},
      {u".hidden", nullptr},
      {u"a..b", nullptr},
      {u" leading blank", nullptr},
      {u"CONSOLE.txt", nullptr},  // only the exact device names are reserved
      {u"COM10", nullptr},
      {u"LPT0", nullptr},
      {u"nul_file", nullptr},
      {u"\u6587\u4EF6\\\xD83D\xDE00.txt", nullptr},
      {std::u16string(1023, u'x'), nullptr},
      {u"data\\vorbel.lck", nullptr},  // the lock lies at the top only
      {u"vorbel.lck.txt", nullptr},

      {u"", "is empty"},
      {std::u16string(1024, u'x'), "1024 UTF-16 units long"},
      {u"\\app.dll", "is absolute"},
      {u"/app.dll", "is absolute"},
      {u"a\\\\b", "empty component"},
      {u"a\\", "empty component"},
      {u"..\\x", "made only of dots and blanks"},
      {u"a\\.\\b", "made only of dots and blanks"},
      {u"a\\. .\\b", "made only of dots and blanks"},
      {u" ", "made only of dots and blanks"},
      {u"C:x", "':'"},
      {u"a\\file.txt:stream", "':'"},
      {u"a/b", "'/'"},
      {u"a<b", "'<'"},
      {u"a>b", "'>'"},
      {u"a\"b", "'\"'"},
      {u"a|b", "'|'"},
      {u"a?b", "'?'"},
      {u"a*b", "'*'"},
      {u"a\tb", "control character U+0009"},
      {std::u16string(u"a\0b", 3), "control character U+0000"},
      {u"dir.\\x", "ending in a dot or blank"},
      {u"x\\name ", "ending in a dot or blank"},
      {u"vorbel.lck", "is reserved: the launcher keeps its lock file"},
      {u"Vorbel.LCK", "is reserved"},
      {u"CON", "reserved device name 'CON'"},
      {u"x\\nul.txt", "reserved device name 'nul'"},
      {u"Aux.tar.gz", "reserved device name 'Aux'"},
      {u"prn .log", "reserved device name 'prn'"},
      {u"com1", "reserved device name"},
      {u"LPT9.dat", "reserved device name"},
      {u"COM\u00B9", "reserved device name"},
      {u"conout$", "reserved device name"},
      {u"a\xD800"
       u"b",
       "unpaired surrogate"},
  };
  for (const auto& c : cases) {
    std::optional<std::string> problem = entry_name_problem(c.name);
    std::string shown(c.name.begin(), c.name.begin() + std::min<size_t>(c.name.size(), 20));
    if (c.reason == nullptr) {
      EXPECT_FALSE(problem) << shown << ": " << problem.value_or("");
    } else {
      ASSERT_TRUE(problem) << shown;
      EXPECT_NE(problem->find(c.reason), std::string::npos) << *problem;
    }
  }
}

struct LongPathCase {
  const char* what;
  std::u16string name;
  size_t units;  // 0: both the file's and its folder's paths fit
  size_t limit;
};

// With the typical extraction directory of 82 units before the name.
TEST(LongUnpackedPath, FindsTheFileOrFolderPathThatReachesWindowsLimitUnderATypicalTemp) {
  std::u16string emoji;
  for (int i = 0; i < 89; ++i) emoji += u"\xD83D\xDE00";
  const LongPathCase cases[] = {
      {"file one unit short", std::u16string(177, u'n'), 0, 0},
      {"file at the limit", std::u16string(178, u'n'), 260, 260},
      {"surrogate pairs count as two units", emoji, 260, 260},
      {"folder one unit short", std::u16string(165, u'd') + u"\\x", 0, 0},
      {"folder at the limit", std::u16string(166, u'd') + u"\\x", 248, 248},
      {"the innermost folder counts", u"a\\" + std::u16string(164, u'd') + u"\\x", 248, 248},
      {"file and folder both past: the file", std::u16string(170, u'd') + u"\\" + std::u16string(10, u'x'), 263, 260},
  };
  for (const auto& c : cases) {
    std::optional<LongPath> found = long_unpacked_path(c.name);
    if (c.units == 0) {
      EXPECT_FALSE(found) << c.what << ": " << found->units;
    } else {
      ASSERT_TRUE(found) << c.what;
      EXPECT_EQ(found->units, c.units) << c.what;
      EXPECT_EQ(found->limit, c.limit) << c.what;
    }
  }
}

TEST(CaseFold, MapsLowerToUpperAcrossTheCoveredScriptsAndLeavesOthersAlone) {
  const std::pair<char16_t, char16_t> cases[] = {
      {u'a', u'A'},           {u'z', u'Z'},           {u'A', u'A'},           {u'0', u'0'},
      {u'\u00E9', u'\u00C9'},  // e acute
      {u'\u00F7', u'\u00F7'},  // division sign has no case
      {u'\u00FF', u'\u0178'}, {u'\u00B5', u'\u039C'}, {u'\u0101', u'\u0100'}, {u'\u0100', u'\u0100'},
      {u'\u0131', u'I'},      {u'\u017E', u'\u017D'}, {u'\u017F', u'S'},      {u'\u03C9', u'\u03A9'},
      {u'\u03C2', u'\u03A3'}, {u'\u03AC', u'\u0386'}, {u'\u0436', u'\u0416'}, {u'\u0451', u'\u0401'},
      {u'\u0563', u'\u0533'}, {u'\u1E01', u'\u1E00'}, {u'\uFF41', u'\uFF21'}, {u'\u00DF', u'\u00DF'},
      {u'\u6587', u'\u6587'}, {u'\xD83D', u'\xD83D'},
  };
  for (auto [from, to] : cases) EXPECT_EQ(fold_case(from), to) << std::hex << static_cast<int>(from);
}

struct ClashCase {
  const char* what;
  std::vector<std::u16string> names;
  const char* clash;  // nullptr: all fit side by side
};

TEST(NameBook, FindsNamesThatCannotSitSideBySideOnWindows) {
  const ClashCase cases[] = {
      {"distinct", {u"a.txt", u"b.txt", u"dir\\a.txt"}, nullptr},
      {"shared directory", {u"lib\\a", u"LIB\\b"}, nullptr},
      {"exact duplicate", {u"a.txt", u"a.txt"}, "same file"},
      {"ASCII case", {u"README", u"readme"}, "same file"},
      {"Latin-1 case", {u"\u00C9t\u00E9.txt", u"\u00E9T\u00C9.TXT"}, "same file"},
      {"Cyrillic case", {u"\u0444\u0430\u0439\u043B", u"\u0424\u0410\u0419\u041B"}, "same file"},
      {"case in a directory", {u"Docs\\a", u"docs\\A"}, "same file"},
      {"file, then directory", {u"lib", u"Lib\\x.dll"}, "needs a directory"},
      {"directory, then file", {u"lib\\x.dll", u"LIB"}, "directory that must hold"},
      {"deep directory, then file", {u"a\\b\\c\\d", u"a\\B"}, "directory that must hold"},
  };
  for (const auto& c : cases) {
    NameBook book;
    std::optional<NameBook::Clash> clash;
    for (size_t i = 0; i < c.names.size() && !clash; ++i) clash = book.add(c.names[i], i);
    if (c.clash == nullptr) {
      EXPECT_FALSE(clash) << c.what << ": " << clash->what;
    } else {
      ASSERT_TRUE(clash) << c.what;
      EXPECT_NE(clash->what.find(c.clash), std::string::npos) << c.what << ": " << clash->what;
      EXPECT_EQ(clash->earlier, 0u) << c.what;
    }
  }
}

}  // namespace
}  // namespace vorbel::pack
