// End to end with an application-sized tree: a few thousand files of mixed
// sizes and names, packed by the build tool, unpacked by the launcher under
// Wine and compared byte for byte (size and hash of every file).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace {

uint64_t fnv1a(const std::string& bytes) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

std::string describe(const std::string& name, const std::string& contents) {
  char text[64];
  snprintf(text, sizeof text, " %llu %016llx", static_cast<unsigned long long>(contents.size()),
           static_cast<unsigned long long>(fnv1a(contents)));
  return name + text;
}

TEST(PackedTree, AFewThousandFilesComeOutByteForByte) {
  ScratchDir scratch;
  fs::path tree = scratch.path() / L"tree";
  std::mt19937 random(12345);
  std::set<std::string> expected;
  const std::wstring names[] = {L"data", L"lib", L"caf\u00e9", L"\u65e5\u672c", L"\U0001F600 emoji", L"deep"};
  const size_t special_sizes[] = {0, 1, 32767, 32768, 32769, 131072, 131073, 300000};
  for (int i = 0; i < 3000; ++i) {
    std::wstring directory = names[i % 6] + L"\\d" + std::to_wstring(i % 97);
    if (i % 6 == 5) directory += L"\\x\\y\\z";
    std::wstring name = directory + L"\\file" + std::to_wstring(i) + (i % 7 == 0 ? L" with blanks.txt" : L".bin");
    size_t size = i < 8 ? special_sizes[i] : random() % 6000;
    std::string contents(size, '\0');
    // Some text-like, some random: the compressor sees a realistic mix.
    for (size_t k = 0; k < size; ++k) contents[k] = static_cast<char>(i % 3 ? 'a' + (k * 7 + i) % 26 : random());
    fs::path file = tree / name;
    write_file(file, contents);
    expected.insert(describe("tree\\" + narrow(name), contents));
  }

  fs::path exe = scratch.path() / L"app.exe";
  fs::path temp = scratch.path() / L"tmp";
  fs::create_directories(temp);
  run_pack({L"build", L"--launcher", launcher_exe(), L"--app", sample_app_dll(), L"--add", sample_helper_dll(),
            L"--add", tree.wstring(), L"--level", L"3", L"-o", exe.wstring()});
  RunOptions options;
  options.env = {{L"TMP", temp.wstring()}, {L"TEMP", temp.wstring()}, {L"VORBEL_ONEFILE_PARENT", std::nullopt}};
  ProcessResult result = run_process(exe.wstring(), L"app.exe --hashes", options);
  ASSERT_EQ(result.exit_code, 0u) << result.err;

  std::set<std::string> unpacked;
  for (const auto& line : values(report_of(result.out), "file")) {
    if (line.rfind("tree\\", 0) == 0) unpacked.insert(line);
  }
  EXPECT_EQ(unpacked.size(), expected.size());
  std::vector<std::string> missing, unexpected;
  std::set_difference(expected.begin(), expected.end(), unpacked.begin(), unpacked.end(), std::back_inserter(missing));
  std::set_difference(unpacked.begin(), unpacked.end(), expected.begin(), expected.end(),
                      std::back_inserter(unexpected));
  EXPECT_TRUE(missing.empty()) << missing.size() << " differ, first: " << missing.front();
  EXPECT_TRUE(unexpected.empty()) << unexpected.size() << " unexpected, first: " << unexpected.front();
  EXPECT_TRUE(fs::is_empty(temp));
}

}  // namespace
