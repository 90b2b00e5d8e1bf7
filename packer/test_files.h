// Scratch directories and small file helpers for the build tool's host tests.
// Test code only; every directory made here is removed when its owner goes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vorbel::pack::testing {

class ScratchDir {
 public:
  ScratchDir() {
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("vorbel-pack-test-" + std::to_string(getpid()) + "-" + std::string(info ? info->name() : "x") + "-" +
             std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, const std::string& contents) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Bytes that compress a little (alphabet < 256) but never to nothing.
inline std::string pseudo_random(size_t size, uint32_t seed, int alphabet = 256) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(generator() % alphabet);
  return bytes;
}

// A UTF-8 path from a u8 literal, for names outside ASCII.
inline std::filesystem::path u8path(std::u8string_view text) { return std::filesystem::path(std::u8string(text)); }

}  // namespace vorbel::pack::testing
