// Tests of list, extract and verify on payloads crafted byte by byte: sound
// ones, and every way a payload can be wrong that the launcher would trip on.
// Host only; extract writes below a scratch directory.
#include "packer/payload_inspect.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <sstream>

#include "packer/payload_writer.h"
#include "packer/test_files.h"
#include "payload/payload_format.h"

namespace vorbel::pack {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using Bytes = std::vector<uint8_t>;

struct Entry {
  std::u16string name;
  std::string contents;
};

Bytes content_of(const std::vector<Entry>& entries, const std::string& after_end_marker = "") {
  Bytes content;
  for (const auto& entry : entries) {
    Bytes header = entry_header(entry.name, entry.contents.size());
    content.insert(content.end(), header.begin(), header.end());
    content.insert(content.end(), entry.contents.begin(), entry.contents.end());
  }
  content.insert(content.end(), {0, 0});
  content.insert(content.end(), after_end_marker.begin(), after_end_marker.end());
  return content;
}

struct FrameOptions {
  bool checksum = true;
  int window_log = 0;  // with no content size, so that the header declares it
};

Bytes resource_of(const Bytes& content, FrameOptions options = {}) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
  if (options.window_log != 0) {
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, options.window_log);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  }
  Bytes resource(PAYLOAD_HEADER_SIZE + ZSTD_compressBound(content.size()) + 64);
  std::copy(PAYLOAD_HEADER, PAYLOAD_HEADER + PAYLOAD_HEADER_SIZE, resource.begin());
  ZSTD_outBuffer out = {resource.data() + PAYLOAD_HEADER_SIZE, resource.size() - PAYLOAD_HEADER_SIZE, 0};
  ZSTD_inBuffer in = {content.data(), content.size(), 0};
  // Fed in pieces, the compressor cannot shrink the window to the content.
  while (options.window_log != 0 && in.pos < in.size)
    EXPECT_FALSE(ZSTD_isError(ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue)));
  size_t left;
  do {
    left = ZSTD_compressStream2(context, &out, &in, ZSTD_e_end);
  } while (left != 0 && !ZSTD_isError(left));
  EXPECT_EQ(left, 0u);
  ZSTD_freeCCtx(context);
  resource.resize(PAYLOAD_HEADER_SIZE + out.pos);
  return resource;
}

const std::vector<Entry> kSound = {
    {u"app.dll", "MZ application"},
    {u"empty", ""},
    {u"lib\\\u00E9t\u00E9\\\xD83D\xDE00.txt", std::string(40000, 'x')},
};

struct VerifyCase {
  const char* what;
  std::function<Bytes()> resource;
  const char* problem;  // nullptr: verifies
};

TEST(VerifyPayload, AcceptsSoundPayloadsAndRefusesBrokenOnesWithTheReason) {
  const VerifyCase cases[] = {
      {"sound", [] { return resource_of(content_of(kSound)); }, nullptr},
      {"sound, bytes after the frame",
       [] {
         Bytes r = resource_of(content_of(kSound));
         r.insert(r.end(), {1, 2, 3, 4, 5});
         return r;
       },
       nullptr},
      {"no VUQ",
       [] {
         Bytes r = resource_of(content_of(kSound));
         r[1] = 'u';
         return r;
       },
       "does not begin with"},
      {"only VUQ", [] { return Bytes(PAYLOAD_HEADER, PAYLOAD_HEADER + 3); }, "does not hold a Zstandard frame"},
      {"checksum wrong",
       [] {
         Bytes r = resource_of(content_of(kSound));
         r.back() ^= 0x01;
         return r;
       },
       "checksum"},
      {"frame cut short",
       [] {
         Bytes r = resource_of(content_of(kSound));
         r.resize(r.size() - 10);
         return r;
       },
       "cut short"},
      {"sound, no checksum (the launcher runs it)", [] { return resource_of(content_of(kSound), {.checksum = false}); },
       nullptr},
      {"window beyond the launcher's limit", [] { return resource_of(content_of(kSound), {.window_log = 28}); },
       "more than the launcher accepts"},
      {"no entries", [] { return resource_of(content_of({})); }, "no entries"},
      {"name Windows reserves",
       [] {
         return resource_of(content_of({{u"app.dll", ""}, {u"x\\con", ""}}));
       },
       "reserved device name"},
      {"name leaving the directory",
       [] {
         return resource_of(content_of({{u"app.dll", ""}, {u"..\\x", ""}}));
       },
       "dots and blanks"},
      {"names clashing in case",
       [] {
         return resource_of(content_of({{u"App.dll", ""}, {u"APP.DLL", ""}}));
       },
       "same file"},
      {"name too long",
       [] {
         return resource_of(content_of({{u"app.dll", ""}, {std::u16string(1024, u'n'), ""}}));
       },
       "longer than 1023 UTF-16 units (entry 2)"},
      {"entry cut short",
       [] {
         Bytes content = content_of({{u"app.dll", "abc"}});
         content.resize(content.size() - 3);  // the last content byte and the end marker
         return resource_of(content);
       },
       "cut short in the contents of entry 1 'app.dll'"},
  };
  for (const auto& c : cases) {
    auto report = verify_payload(c.resource());
    if (c.problem == nullptr) {
      EXPECT_TRUE(report.ok()) << c.what << ": " << report.failure().problem;
    } else {
      ASSERT_FALSE(report.ok()) << c.what;
      EXPECT_NE(report.failure().problem.find(c.problem), std::string::npos)
          << c.what << ": " << report.failure().problem;
    }
  }
}

TEST(VerifyPayload, ReportsCountsWindowTrailingBytesAndWhetherTheFrameHasAChecksum) {
  Bytes resource = resource_of(content_of(kSound));
  const uint64_t frame_size = resource.size() - PAYLOAD_HEADER_SIZE;
  resource.insert(resource.end(), 7, 0xEE);
  auto report = verify_payload(resource);
  ASSERT_TRUE(report.ok()) << report.failure().problem;
  EXPECT_EQ(report->entries, 3u);
  EXPECT_EQ(report->content_bytes, 14u + 40000u);
  EXPECT_EQ(report->frame_bytes, frame_size);
  EXPECT_EQ(report->trailing_bytes, 7u);
  // A single-segment frame: the window is the whole content.
  EXPECT_EQ(report->window_bytes, content_of(kSound).size());
  EXPECT_GT(report->decoder_bytes, report->window_bytes);
  EXPECT_TRUE(report->content_checksum);
  auto unchecked = verify_payload(resource_of(content_of(kSound), {.checksum = false}));
  ASSERT_TRUE(unchecked.ok()) << unchecked.failure().problem;
  EXPECT_FALSE(unchecked->content_checksum);
}

// The launcher drops what the frame decodes to after the end marker and runs
// the program, so verify passes such a payload and only counts those bytes.
TEST(VerifyPayload, CountsDecodedBytesAfterTheEndMarkerAndStillTestsTheChecksum) {
  struct Case {
    const char* what;
    Bytes resource;
    uint64_t after_end;
  };
  // 26: the name, the size and the end marker of the one entry.
  const std::string fills_the_buffer(2 * PAYLOAD_OUTPUT_BUFFER_SIZE - 26, 'c');
  const Case cases[] = {
      {"nothing after the end marker", resource_of(content_of(kSound)), 0},
      {"bytes in the buffer the end marker came in", resource_of(content_of(kSound, "extra")), 5},
      {"an end marker that fills the reader's buffer exactly",
       resource_of(content_of({{u"app.dll", fills_the_buffer}}, std::string(1000, 'e'))), 1000},
      {"more than one decoder call's output",
       resource_of(content_of(kSound, testing::pseudo_random(3 * PAYLOAD_OUTPUT_BUFFER_SIZE + 7, 9))),
       3 * PAYLOAD_OUTPUT_BUFFER_SIZE + 7},
  };
  for (const auto& c : cases) {
    auto report = verify_payload(c.resource);
    ASSERT_TRUE(report.ok()) << c.what << ": " << report.failure().problem;
    EXPECT_EQ(report->bytes_after_end_marker, c.after_end) << c.what;
  }
  Bytes damaged = resource_of(content_of(kSound, "extra"));
  damaged.back() ^= 0x01;
  auto refused = verify_payload(damaged);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.failure().problem.find("checksum"), std::string::npos) << refused.failure().problem;
}

TEST(ListPayload, PrintsSizeAndUtf8NamePerEntry) {
  std::ostringstream out;
  ASSERT_TRUE(list_payload(resource_of(content_of(kSound)), out).ok());
  EXPECT_EQ(out.str(),
            "        14  app.dll\n"
            "         0  empty\n"
            "     40000  lib\\\xC3\xA9t\xC3\xA9\\\xF0\x9F\x98\x80.txt\n");
}

TEST(ExtractPayload, WritesEveryEntryBelowTheDirectory) {
  ScratchDir dir;
  ASSERT_TRUE(extract_payload(resource_of(content_of(kSound)), dir / "new/out").ok());
  EXPECT_EQ(testing::read_file(dir / "new/out/app.dll"), "MZ application");
  EXPECT_TRUE(fs::is_regular_file(dir / "new/out/empty"));
  EXPECT_EQ(testing::read_file(dir / "new/out" / testing::u8path(u8"lib/\u00E9t\u00E9/\U0001F600.txt")),
            std::string(40000, 'x'));
}

TEST(ExtractPayload, RefusesNonEmptyDirectoriesAndUnsafeNames) {
  ScratchDir dir;
  testing::write_file(dir / "full/x", "");
  Status into_full = extract_payload(resource_of(content_of(kSound)), dir / "full");
  ASSERT_FALSE(into_full.ok());
  EXPECT_NE(into_full.failure().problem.find("not empty"), std::string::npos);

  Status escaping = extract_payload(resource_of(content_of({{u"app.dll", ""}, {u"..\\evil", "x"}})), dir / "out");
  ASSERT_FALSE(escaping.ok());
  EXPECT_FALSE(fs::exists(dir / "evil"));
}

TEST(ExtractPayload, RemovesAFileWhoseContentsAreCutShort) {
  ScratchDir dir;
  Bytes resource = resource_of(content_of({{u"app.dll", "MZ"}, {u"big", testing::pseudo_random(300000, 5)}}));
  resource.resize(resource.size() - 1000);
  Status extracted = extract_payload(resource, dir / "out");
  ASSERT_FALSE(extracted.ok());
  EXPECT_NE(extracted.failure().problem.find("'big'"), std::string::npos) << extracted.failure().problem;
  EXPECT_TRUE(fs::exists(dir / "out/app.dll"));
  EXPECT_FALSE(fs::exists(dir / "out/big"));
}

}  // namespace
}  // namespace vorbel::pack
