// Property test of argument passing through a packed launcher: random argument
// lists, typed on the launcher's command line with the usual quoting, reach the
// application unchanged, except that empty arguments are dropped (as designed).
// The lists avoid * and ?, which the runtime's start-up expands as wildcards.
// The seed is printed; VORBEL_ARGUMENT_SEED repeats a run, VORBEL_ARGUMENT_LISTS
// changes how many lists are tried.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "tests/e2e/e2e_support.h"
#include "tests/support/random_runs.h"

namespace {

// Pieces that exercise the quoting rules: blanks, quotes, backslash runs
// before quotes and at the end, non-ASCII and characters outside the BMP.
const wchar_t* const PIECES[] = {
    L" ", L"\t", L"  ", L"\"", L"\\", L"\\\\", L"\\\\\\", L"\\\"", L"\\\\\"", L"a", L"b c", L"x.txt",
    L"C:\\dir\\", L"--", L"-o", L"=", L"'", L"%PATH%", L"^", L"&", L"|", L"<>", L"caf\u00e9", L"\u00df",
    L"\u4e2d\u6587", L"\u0645\u0631\u062d\u0628\u0627", L"\u20ac", L"\U0001F600", L"\U00010348", L"\u00a0",
    L"\n", L"\v", L"{}", L"()", L";", L",",
};

std::wstring random_argument(std::mt19937& random) {
  std::uniform_int_distribution<int> kind(0, 9);
  int k = kind(random);
  if (k == 0) return L"";
  std::wstring argument;
  int pieces = std::uniform_int_distribution<int>(1, k < 8 ? 4 : 12)(random);
  std::uniform_int_distribution<size_t> piece(0, std::size(PIECES) - 1);
  for (int i = 0; i < pieces; ++i) argument += PIECES[piece(random)];
  if (k == 9) argument += std::wstring(std::uniform_int_distribution<size_t>(1, 5)(random), L'\\');
  return argument;
}

TEST(PackedLauncherArguments, RandomListsReachTheApplicationUnchanged) {
  const unsigned lists = env_number("VORBEL_ARGUMENT_LISTS", 200);
  const unsigned seed = run_seed("VORBEL_ARGUMENT_SEED", "argument lists", lists);
  std::mt19937 random(seed);
  PackedApp app(probe_app_dll(), false);

  for (unsigned list = 0; list < lists; ++list) {
    std::vector<std::wstring> arguments(std::uniform_int_distribution<size_t>(0, 8)(random));
    for (auto& argument : arguments) argument = random_argument(random);
    if (!arguments.empty() && arguments[0] == L"--fault") arguments[0] = L"--no-fault";

    ProcessResult result = app.run(arguments);
    std::vector<std::string> expected = {hex_units(app.exe.wstring())};
    for (const auto& argument : arguments) {
      if (!argument.empty()) expected.push_back(hex_units(argument));
    }
    std::vector<std::string> seen = values(report_of(result.out), "arg");
    std::ostringstream typed;
    for (const auto& argument : arguments) typed << " [" << hex_units(argument) << "]";
    ASSERT_EQ(result.exit_code, 0u) << "list " << list << ":" << typed.str() << "\n" << result.out << result.err;
    ASSERT_EQ(seen, expected) << "list " << list << " of seed " << seed << ", arguments as hex units:" << typed.str();
  }
  EXPECT_TRUE(app.left_in_temp().empty());
}

}  // namespace
