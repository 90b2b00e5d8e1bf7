// Tests of the version resource reader on this program's own resource
// (tests/support/unit_tests_version.rc), whole, cut short and damaged, each
// copy ending just before a page nothing may read, so a read past the block
// ends the test.
#include "common/version_strings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/dialog_recorder.h"

namespace {

std::vector<uint8_t> own_version_block() {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
  if (found == nullptr) return {};
  auto* block = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, found)));
  return std::vector<uint8_t>(block, block + SizeofResource(nullptr, found));
}

// A copy of bytes that ends where a no-access page begins.
class GuardedCopy {
 public:
  explicit GuardedCopy(const std::vector<uint8_t>& bytes) {
    pages_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * PAGE, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(pages_ + PAGE, PAGE, PAGE_NOACCESS, &old);
    data_ = pages_ + PAGE - bytes.size();
    std::copy(bytes.begin(), bytes.end(), data_);
  }
  ~GuardedCopy() { VirtualFree(pages_, 0, MEM_RELEASE); }
  GuardedCopy(const GuardedCopy&) = delete;
  GuardedCopy& operator=(const GuardedCopy&) = delete;
  const uint8_t* data() const { return data_; }

 private:
  static constexpr size_t PAGE = 4096;
  uint8_t* pages_;
  uint8_t* data_;
};

std::string found_text(const uint8_t* text, size_t units) {
  std::string narrow_text;
  for (size_t i = 0; i < units; ++i) narrow_text += static_cast<char>(text[2 * i]);
  return narrow_text;
}

TEST(FindVersionString, ReadsTheProductNameOfThisProgram) {
  std::vector<uint8_t> bytes = own_version_block();
  ASSERT_FALSE(bytes.empty());
  ASSERT_LT(bytes.size(), 4096u);
  GuardedCopy block(bytes);
  const uint8_t* text = nullptr;
  size_t units = 0;
  ASSERT_TRUE(find_version_string(block.data(), bytes.size(), "ProductName", &text, &units));
  EXPECT_EQ(found_text(text, units), UNIT_TESTS_PRODUCT_NAME);
  EXPECT_TRUE(find_version_string(block.data(), bytes.size(), "FileDescription", &text, &units));
  EXPECT_EQ(found_text(text, units), "unit tests");
  EXPECT_FALSE(find_version_string(block.data(), bytes.size(), "Product", &text, &units)) << "a key is whole";
  EXPECT_FALSE(find_version_string(block.data(), bytes.size(), "ProductVersion", &text, &units));
}

TEST(FindVersionString, NeverReadsPastACutOrDamagedBlock) {
  std::vector<uint8_t> bytes = own_version_block();
  ASSERT_FALSE(bytes.empty());
  const uint8_t* text = nullptr;
  size_t units = 0;
  for (size_t size = 0; size < bytes.size(); ++size) {
    GuardedCopy block(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size));
    EXPECT_FALSE(find_version_string(block.data(), size, "ProductName", &text, &units)) << size;
  }
  // Any byte at its lowest or highest, lengths and types included: whatever
  // is found lies inside the block.
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (uint8_t value : {uint8_t{0}, uint8_t{0xFF}}) {
      std::vector<uint8_t> damaged = bytes;
      damaged[at] = value;
      GuardedCopy block(damaged);
      if (find_version_string(block.data(), damaged.size(), "ProductName", &text, &units)) {
        EXPECT_LE(text + 2 * units, block.data() + damaged.size()) << at;
      }
    }
  }
}

}  // namespace
