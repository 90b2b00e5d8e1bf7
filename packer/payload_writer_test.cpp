// Tests of the payload writer: the exact byte layout, the frame parameters the
// launcher depends on, reproducibility whatever the thread count, and files
// that cannot be read or change while being packed. Host only.
#include "packer/payload_writer.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include "packer/compressor_memory.h"
#include "packer/test_files.h"
#include "payload/payload_format.h"

namespace vorbel::pack {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using testing::write_file;
using Bytes = std::vector<uint8_t>;

Bytes frame_of(const Bytes& resource) { return Bytes(resource.begin() + PAYLOAD_HEADER_SIZE, resource.end()); }

Bytes decompress(const Bytes& frame) {
  unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
  Bytes content(size);
  size_t result = ZSTD_decompress(content.data(), content.size(), frame.data(), frame.size());
  EXPECT_FALSE(ZSTD_isError(result)) << ZSTD_getErrorName(result);
  return content;
}

ZSTD_frameHeader header_of(const Bytes& frame) {
  ZSTD_frameHeader header{};
  EXPECT_EQ(ZSTD_getFrameHeader(&header, frame.data(), frame.size()), 0u);
  return header;
}

TEST(EntryHeader, IsUtf16LeNameThenZeroUnitThenLittleEndianSize) {
  Bytes expected = {'a',  0,    0xE9, 0,    0x3D, 0xD8, 0x00, 0xDE, 0, 0,  // "aé😀", terminator
                    0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(entry_header(u"a\u00E9\xD83D\xDE00", 0x0102030405060708ull), expected);
}

TEST(PayloadWriter, TinyPayloadHasExactlyTheDocumentedBytes) {
  ScratchDir dir;
  write_file(dir / "app", "MZ");
  write_file(dir / "empty", "");
  std::vector<InputFile> files = {{dir / "app", u"a.dll", 2}, {dir / "empty", u"d\\e", 0}};

  auto resource = make_payload_resource(files, {.level = 3, .threads = 1});
  ASSERT_TRUE(resource.ok()) << resource.failure().problem;
  ASSERT_TRUE(std::equal(PAYLOAD_HEADER, PAYLOAD_HEADER + 3, resource->begin()));
  Bytes expected = {'a', 0,   '.', 0, 'd',  0, 'l', 0, 'l', 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
                    'M', 'Z', 'd', 0, '\\', 0, 'e', 0, 0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(decompress(frame_of(resource.value())), expected);
  EXPECT_EQ(payload_content_size(files), expected.size());

  ZSTD_frameHeader header = header_of(frame_of(resource.value()));
  EXPECT_TRUE(header.checksumFlag);
  EXPECT_EQ(header.frameContentSize, expected.size());
}

// Large enough for several jobs of the multithreaded compressor at level 1.
std::vector<InputFile> several_megabytes(const ScratchDir& dir) {
  std::vector<InputFile> files;
  for (int i = 0; i < 6; ++i) {
    std::string name = "part" + std::to_string(i);
    std::string contents = testing::pseudo_random(1'100'000 + i, 100 + i, 40);
    write_file(dir / name, contents);
    files.push_back({dir / name, std::u16string(name.begin(), name.end()), contents.size()});
  }
  return files;
}

// Several jobs again, each of which starts inside text the window still
// holds: a compressor run without workers, whose window reaches across, gives
// other bytes.
std::vector<InputFile> repeating_megabytes(const ScratchDir& dir) {
  const std::string block = testing::pseudo_random(300'000, 5, 40);
  std::string contents;
  while (contents.size() < 6'000'000) contents += block;
  write_file(dir / "repeating", contents);
  return {{dir / "repeating", u"repeating", contents.size()}};
}

TEST(PayloadWriter, OutputIsTheSameForEveryThreadCount) {
  ScratchDir dir;
  std::vector<InputFile> files = repeating_megabytes(dir);
  auto reference = make_payload_resource(files, {.level = 1, .threads = 1});
  ASSERT_TRUE(reference.ok());
  for (int threads : {1, 2, 3, 8}) {
    auto again = make_payload_resource(files, {.level = 1, .threads = threads});
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.value() == reference.value()) << threads << " threads";
  }
  // Fewer workers than threads, as a tight memory budget gives.
  // (The payload is the file and a few bytes of entry; a second worker would
  // add a context and an output buffer, megabytes.)
  const uint64_t content = files[0].size + 65536;
  const uint64_t fits_one = estimated_compressor_bytes({.level = 1}, content, 1) + kProcessAllowance;
  ASSERT_EQ(plan_compression({.level = 1, .threads = 8, .memory_budget = fits_one}, files[0].size).workers, 1);
  auto bounded = make_payload_resource(files, {.level = 1, .threads = 8, .memory_budget = fits_one});
  ASSERT_TRUE(bounded.ok());
  EXPECT_TRUE(bounded.value() == reference.value()) << "threads bounded by memory";
  // A budget no worker fits gives a single-threaded frame: other bytes, but
  // the same ones for every thread count.
  auto single = make_payload_resource(files, {.level = 1, .threads = 1, .memory_budget = 0});
  ASSERT_TRUE(single.ok());
  for (int threads : {2, 8}) {
    auto again = make_payload_resource(files, {.level = 1, .threads = threads, .memory_budget = 0});
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.value() == single.value()) << threads << " threads, no worker fits";
  }
}

TEST(PayloadWriter, DeclaredWindowFollowsThePayloadNotTheLevelOrLongMode) {
  ScratchDir dir;
  write_file(dir / "app", testing::pseudo_random(100'000, 1, 20));
  std::vector<InputFile> small = {{dir / "app", u"app.dll", 100'000}};
  struct Case {
    const char* what;
    CompressionSettings settings;
    uint64_t window_at_most;
  };
  const Case cases[] = {
      {"default level, small payload", {}, 128 * 1024},
      {"long mode with a 2^27 window, small payload", {.level = 3, .long_window_log = 27}, 128 * 1024},
  };
  for (const auto& c : cases) {
    auto resource = make_payload_resource(small, c.settings);
    ASSERT_TRUE(resource.ok()) << c.what;
    EXPECT_LE(header_of(frame_of(resource.value())).windowSize, c.window_at_most) << c.what;
  }
}

TEST(PayloadWriter, LongModeWindowIsCappedAtTheRequestedLog) {
  ScratchDir dir;
  std::vector<InputFile> files = several_megabytes(dir);
  auto resource = make_payload_resource(files, {.level = 1, .long_window_log = 20, .threads = 2});
  ASSERT_TRUE(resource.ok());
  ZSTD_frameHeader header = header_of(frame_of(resource.value()));
  EXPECT_EQ(header.windowSize, 1u << 20);
  EXPECT_EQ(decompress(frame_of(resource.value())).size(), payload_content_size(files));
}

TEST(PayloadWriter, RefusesFilesThatCannotBeReadOrChangedSinceListing) {
  ScratchDir dir;
  write_file(dir / "app", "12345");
  fs::create_directories(dir / "a_directory");
  struct Case {
    const char* what;
    InputFile file;
    const char* problem;
  };
  const Case cases[] = {
      {"vanished", {dir / "gone", u"gone", 1}, "cannot open"},
      {"unreadable", {dir / "a_directory", u"d", 1}, "cannot read"},
      {"shrank", {dir / "app", u"app", 6}, "shrank while being packed"},
      {"grew", {dir / "app", u"app", 4}, "grew while being packed"},
  };
  for (const auto& c : cases) {
    auto resource = make_payload_resource({c.file}, {.level = 1});
    ASSERT_FALSE(resource.ok()) << c.what;
    EXPECT_EQ(resource.failure().file, c.file.path.string()) << c.what;
    EXPECT_NE(resource.failure().problem.find(c.problem), std::string::npos)
        << c.what << ": " << resource.failure().problem;
  }
}

// A payload that cannot fit a Windows program stops the compression once it
// is clear, not after all the input was read.
TEST(PayloadWriter, StopsAsSoonAsTheResourcePassesTheLimit) {
  ScratchDir dir;
  write_file(dir / "noise", testing::pseudo_random(24 << 20, 3));
  uint64_t received = 0;
  auto sink = [&](std::span<const uint8_t> bytes) {
    received += bytes.size();
    return done();
  };
  auto streamed = stream_payload_resource({{dir / "noise", u"noise", 24 << 20}}, {.level = 1}, sink, {}, 1 << 20);
  ASSERT_FALSE(streamed.ok());
  const std::string& problem = streamed.failure().problem;
  EXPECT_NE(problem.find("more than the 1048576 a Windows program can hold"), std::string::npos) << problem;
  EXPECT_LE(received, 1u << 20);
  uint64_t read = std::stoull(problem.substr(problem.find("after ") + 6));
  EXPECT_LT(read, 12u << 20) << problem;
}

}  // namespace
}  // namespace vorbel::pack
