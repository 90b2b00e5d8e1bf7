// Tests of the command-line splitter: the documented cases written out, and
// random lines compared with the system's own CommandLineToArgvW. The seed is
// printed; VORBEL_SPLIT_SEED repeats a run, VORBEL_SPLIT_LINES changes how many.
#include "launcher/command_line_split.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"
#include "tests/support/random_runs.h"

namespace {

void keep_unit(void* context, wchar_t unit) { static_cast<std::vector<std::wstring>*>(context)->back() += unit; }

void keep_end(void* context) { static_cast<std::vector<std::wstring>*>(context)->emplace_back(); }

std::wstring own_module() {
  wchar_t module[MAX_PATH];
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  return module;
}

std::vector<std::wstring> ours(const std::wstring& line) {
  static const std::wstring module = own_module();
  std::vector<std::wstring> arguments(1);
  const ArgumentSink sink = {&arguments, keep_unit, keep_end};
  size_t count = split_command_line(line.c_str(), module.c_str(), &sink);
  arguments.pop_back();  // the one the last end opened
  EXPECT_EQ(count, arguments.size());
  return arguments;
}

std::vector<std::wstring> systems(const std::wstring& line) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(line.c_str(), &count);
  if (arguments == nullptr) return {L"<CommandLineToArgvW failed>"};
  std::vector<std::wstring> result(arguments, arguments + count);
  LocalFree(arguments);
  return result;
}

struct SplitCase {
  const wchar_t* line;
  std::vector<std::wstring> arguments;
};

void expect_splits(const SplitCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const SplitCase& c = cases[i];
    EXPECT_EQ(ours(c.line), c.arguments) << narrow(c.line);
    EXPECT_EQ(systems(c.line), c.arguments) << "the system disagrees with the expectation: " << narrow(c.line);
  }
}

TEST(SplitCommandLine, BackslashesAndQuotesAsDocumented) {
  // Microsoft's examples of the backslash and quote rules, after a program name.
  const SplitCase cases[] = {
      {L"p \"a b c\" d e", {L"p", L"a b c", L"d", L"e"}},
      {L"p \"ab\\\"c\" \"\\\\\" d", {L"p", L"ab\"c", L"\\", L"d"}},
      {L"p a\\\\\\b d\"e f\"g h", {L"p", L"a\\\\\\b", L"de fg", L"h"}},
      {L"p a\\\\\\\"b c d", {L"p", L"a\\\"b", L"c", L"d"}},
      {L"p a\\\\\\\\\"b c\" d e", {L"p", L"a\\\\b c", L"d", L"e"}},
      {L"p C:\\dir\\ x", {L"p", L"C:\\dir\\", L"x"}},
      {L"p \"C:\\my dir\\\\\"", {L"p", L"C:\\my dir\\"}},
      {L"p \"unterminated  quote", {L"p", L"unterminated  quote"}},
  };
  expect_splits(cases, std::size(cases));
}

TEST(SplitCommandLine, AQuoteRightAfterAClosingQuoteIsLiteral) {
  // Quoting stays off after it, unlike the C runtime's rule, which reads the
  // first line as one argument: ab" c d.
  const SplitCase cases[] = {
      {L"p a\"b\"\" c d", {L"p", L"ab\"", L"c", L"d"}},
      {L"p \"a\"\"b c\"", {L"p", L"a\"b", L"c"}},
      {L"p \"\"\"", {L"p", L"\""}},
      {L"p \"\"\"\"", {L"p", L"\""}},
      {L"p \"\"\"a\"\"\"", {L"p", L"\"a\""}},
      {L"p \"a\"\"\"b c\"", {L"p", L"a\"b c"}},
      {L"p \"\"\"\"\"\"a", {L"p", L"\"\"a"}},
      // Backslashes between the quotes: the second quote toggles again.
      {L"p \"a\"\\\\\"b c\"", {L"p", L"a\\b c"}},
      {L"p \"a\\\\\"\" b", {L"p", L"a\\\"", L"b"}},
      // An escaped quote closes nothing, so the quote after it toggles.
      {L"p \"a\\\"\" b", {L"p", L"a\"", L"b"}},
  };
  expect_splits(cases, std::size(cases));
}

TEST(SplitCommandLine, ArgumentZeroHasRulesOfItsOwn) {
  const SplitCase cases[] = {
      {L"\"C:\\Program Files\\a.exe\" x", {L"C:\\Program Files\\a.exe", L"x"}},
      // The next quote ends it even when no blank follows.
      {L"\"a b\"c d", {L"a b", L"c", L"d"}},
      {L"\"\"exe", {L"", L"exe"}},
      // Backslashes are literal, quotes inside an unquoted one too.
      {L"\"C:\\dir\\\"rest", {L"C:\\dir\\", L"rest"}},
      {L"C:\\a\\\"b c\" d", {L"C:\\a\\\"b", L"c d"}},
      {L"\"open to the end", {L"open to the end"}},
      {L"\"", {L""}},
      // A leading blank leaves it empty.
      {L" a b", {L"", L"a", L"b"}},
      {L"\tp", {L"", L"p"}},
      {L"   ", {L""}},
  };
  expect_splits(cases, std::size(cases));
}

TEST(SplitCommandLine, BlanksAndTabsSeparateNothingElseDoes) {
  const SplitCase cases[] = {
      {L"p\ta \t b  ", {L"p", L"a", L"b"}},
      {L"p a \"\"", {L"p", L"a", L""}},
      {L"p \"\" \"\"", {L"p", L"", L""}},
      {L"p \"", {L"p", L""}},
      {L"p a\nb\vc\u00a0d\u3000e", {L"p", L"a\nb\vc\u00a0d\u3000e"}},
      {L"p\nq r", {L"p\nq", L"r"}},
  };
  expect_splits(cases, std::size(cases));
}

TEST(SplitCommandLine, AnEmptyLineGivesTheModulePath) {
  EXPECT_EQ(ours(L""), std::vector<std::wstring>{own_module()});
  EXPECT_EQ(systems(L""), std::vector<std::wstring>{own_module()});
}

// Mostly the units the rules are about, then text that merely passes through:
// non-ASCII, a surrogate pair, lone surrogates, and blanks of other kinds.
std::wstring random_line(std::mt19937& random) {
  static const wchar_t* const PIECES[] = {
      L"\"",     L"\"",         L"\"",     L"\"",     L"\"\"",   L"\"\"\"", L"\\", L"\\", L"\\",  L"\\\\",    L"\\\\\\",
      L"\\\"",   L" ",          L" ",      L" ",      L"\t",     L"  ",     L"a",  L"b",  L"xyz", L"C:\\d\\", L"\u00e9",
      L"\u4e2d", L"\U0001F600", L"\xD83D", L"\xDE00", L"\u00a0", L"\u3000", L"\n", L"\v", L"'",   L"^",
  };
  std::uniform_int_distribution<size_t> piece(0, std::size(PIECES) - 1);
  // Mostly short lines, where the rules meet; now and then a long one.
  size_t pieces = std::uniform_int_distribution<size_t>(0, 100)(random) < 97
                      ? std::uniform_int_distribution<size_t>(0, 14)(random)
                      : std::uniform_int_distribution<size_t>(15, 400)(random);
  std::wstring line;
  for (size_t i = 0; i < pieces; ++i) line += PIECES[piece(random)];
  return line;
}

// Wine's CommandLineToArgvW stands for Windows' here: no difference between
// the two is known for any line generated above, so no line is excluded.
TEST(SplitCommandLine, RandomLinesSplitAsTheSystemSplitsThem) {
  const unsigned lines = env_number("VORBEL_SPLIT_LINES", 500000);
  const unsigned seed = run_seed("VORBEL_SPLIT_SEED", "command lines", lines);
  std::mt19937 random(seed);
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < lines; ++i) {
    const std::wstring line = random_line(random);
    ASSERT_EQ(ours(line), systems(line)) << "line " << i << " of seed " << seed
                                         << ", as hex units: " << hex_units(line);
  }
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%u lines compared in %.2f s\n", lines, elapsed);
}

}  // namespace
