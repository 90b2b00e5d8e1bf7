// Tests of the payload stream reader: exact reads across refills, header and
// frame failures, truncation at every kind of boundary, window limits.
// Portable: runs on the host and under Wine alike.
#include "payload/payload_stream.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "payload/payload_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pseudo_random(size_t size, uint32_t seed, int alphabet = 256) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(generator() % alphabet);
  return bytes;
}

struct FrameOptions {
  int level = 3;
  bool checksum = true;
  int window_log = 0;     // 0: the library's choice
  bool unknown_size = false;  // streams the content so the header declares the whole window
};

Bytes compress(const Bytes& content, const FrameOptions& options = {}) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, options.level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
  if (options.window_log != 0) ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, options.window_log);
  if (options.unknown_size) ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  Bytes frame(ZSTD_compressBound(content.size()) + 1024);
  ZSTD_outBuffer out = {frame.data(), frame.size(), 0};
  ZSTD_inBuffer in = {content.data(), content.size(), 0};
  if (options.unknown_size) {
    // Fed in pieces, the library cannot shrink the window to the content.
    while (in.pos < in.size) ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue);
  }
  size_t left;
  do {
    left = ZSTD_compressStream2(context, &out, &in, ZSTD_e_end);
  } while (left != 0 && !ZSTD_isError(left));
  ZSTD_freeCCtx(context);
  frame.resize(out.pos);
  return frame;
}

Bytes resource_of(const Bytes& frame, const Bytes& trailer = {}) {
  Bytes resource(PAYLOAD_HEADER, PAYLOAD_HEADER + PAYLOAD_HEADER_SIZE);
  resource.insert(resource.end(), frame.begin(), frame.end());
  resource.insert(resource.end(), trailer.begin(), trailer.end());
  return resource;
}

// A stream over a resource, with its buffer and decoder, released at the end.
struct OpenStream {
  explicit OpenStream(const Bytes& resource_bytes) : resource(resource_bytes), buffer(PAYLOAD_OUTPUT_BUFFER_SIZE) {
    stream.resource_data = resource.data();
    stream.resource_size = resource.size();
    header = payload_stream_accept_header(&stream);
    if (header == PAYLOAD_OK) payload_stream_start(&stream, buffer.data(), ZSTD_createDCtx());
  }
  ~OpenStream() { ZSTD_freeDCtx(stream.decoder); }

  Bytes resource;
  Bytes buffer;
  PayloadStream stream = {};
  PayloadStatus header;
};

// Reads the content back in requests of the given sizes, cycling through them.
PayloadStatus read_in_requests(PayloadStream* stream, size_t total, const std::vector<size_t>& sizes, Bytes* into) {
  into->assign(total, 0);
  size_t done = 0;
  for (size_t i = 0; done < total; ++i) {
    size_t request = std::min(sizes[i % sizes.size()], total - done);
    PayloadStatus status = payload_stream_read(stream, into->data() + done, request);
    if (status != PAYLOAD_OK) return status;
    done += request;
  }
  return PAYLOAD_OK;
}

TEST(PayloadStream, ExactReadsOfAnySizeComeOutWholeAndInOrder) {
  // Content several buffers long, compressible enough that one decoder call
  // can fill the whole buffer.
  Bytes content = pseudo_random(3 * PAYLOAD_OUTPUT_BUFFER_SIZE + 12345, 7, 16);
  const std::vector<std::vector<size_t>> patterns = {
      {2},                          // name units, straddling every fill boundary
      {8, 2, 2, 2},                 // sizes and units off the buffer's alignment
      {32768},                      // content chunks crossing the end of a fill
      {32769, 1},
      {PAYLOAD_OUTPUT_BUFFER_SIZE},  // a whole buffer per request
      {PAYLOAD_OUTPUT_BUFFER_SIZE + 1, 3},
      {content.size()},             // one request spanning every refill
  };
  for (const auto& pattern : patterns) {
    OpenStream open(resource_of(compress(content)));
    ASSERT_EQ(open.header, PAYLOAD_OK);
    Bytes out;
    ASSERT_EQ(read_in_requests(&open.stream, content.size(), pattern, &out), PAYLOAD_OK) << pattern[0];
    EXPECT_EQ(out, content) << "request size " << pattern[0];
  }
}

TEST(PayloadStream, HeaderMustBeVuqInAllThreePositions) {
  Bytes frame = compress(pseudo_random(100, 1));
  for (size_t position = 0; position < PAYLOAD_HEADER_SIZE; ++position) {
    Bytes resource = resource_of(frame);
    resource[position] ^= 0x20;  // "vUQ", "VuQ", "VUq"
    OpenStream open(resource);
    EXPECT_EQ(open.header, PAYLOAD_BAD_HEADER) << "position " << position;
  }
  for (size_t size = 0; size < PAYLOAD_HEADER_SIZE; ++size) {
    OpenStream open(Bytes(PAYLOAD_HEADER, PAYLOAD_HEADER + size));
    EXPECT_EQ(open.header, PAYLOAD_BAD_HEADER) << "size " << size;
  }
  PayloadStream missing = {};
  EXPECT_EQ(payload_stream_accept_header(&missing), PAYLOAD_BAD_HEADER);
}

TEST(PayloadStream, BytesAfterTheFrameAreNeverRead) {
  Bytes content = pseudo_random(200000, 2);
  OpenStream open(resource_of(compress(content), pseudo_random(5000, 3)));
  Bytes out;
  ASSERT_EQ(read_in_requests(&open.stream, content.size(), {32768}, &out), PAYLOAD_OK);
  EXPECT_EQ(out, content);
}

TEST(PayloadStream, CorruptFramesFail) {
  Bytes content = pseudo_random(300000, 4, 64);
  Bytes frame = compress(content);
  struct Case {
    const char* what;
    size_t offset_from_end;  // 0: offset counts from the start instead
    size_t offset;
  };
  const Case cases[] = {
      {"magic number", 0, 0},
      {"first block", 0, 20},
      {"middle of the data", 0, frame.size() / 2},
      {"content checksum", 2, 0},
  };
  for (const auto& c : cases) {
    Bytes damaged = frame;
    size_t at = c.offset_from_end ? damaged.size() - c.offset_from_end : c.offset;
    damaged[at] ^= 0x5A;
    OpenStream open(resource_of(damaged));
    Bytes out;
    EXPECT_EQ(read_in_requests(&open.stream, content.size(), {32768}, &out), PAYLOAD_CORRUPT) << c.what;
  }
}

TEST(PayloadStream, TruncatedFramesFailAndNeverHang) {
  Bytes content = pseudo_random(400000, 5, 32);
  Bytes frame = compress(content);
  // Cut points across the header, the blocks and the checksum.
  std::vector<size_t> cuts = {0, 1, 4, 5, 6, 9, frame.size() - 5};
  for (size_t cut = 17; cut < frame.size() - 4; cut += frame.size() / 23) cuts.push_back(cut);
  for (size_t cut : cuts) {
    for (const auto& pattern : std::vector<std::vector<size_t>>{{2}, {32768}, {content.size()}}) {
      OpenStream open(resource_of(Bytes(frame.begin(), frame.begin() + static_cast<long>(cut))));
      Bytes out;
      EXPECT_EQ(read_in_requests(&open.stream, content.size(), pattern, &out), PAYLOAD_CORRUPT)
          << "cut at " << cut << " of " << frame.size() << ", requests of " << pattern[0];
    }
  }
}

TEST(PayloadStream, AMissingChecksumIsFoundOnlyWhenTheFrameIsFinished) {
  // The reader never asks for more than the content; the checksum trailer is
  // only checked when the frame is taken to its end.
  Bytes content = pseudo_random(100000, 9, 32);
  Bytes frame = compress(content);
  for (size_t cut = frame.size() - 4; cut < frame.size(); ++cut) {
    OpenStream open(resource_of(Bytes(frame.begin(), frame.begin() + static_cast<long>(cut))));
    Bytes out;
    ASSERT_EQ(read_in_requests(&open.stream, content.size(), {32768}, &out), PAYLOAD_OK) << cut;
    EXPECT_EQ(out, content);
    EXPECT_EQ(payload_stream_finish(&open.stream), PAYLOAD_CORRUPT) << "cut at " << cut << " of " << frame.size();
  }
}

// Content read up to a point (as the launcher reads up to the end marker),
// then the frame finished.
PayloadStatus read_then_finish(const Bytes& resource, size_t read, size_t request = 32768) {
  OpenStream open(resource);
  Bytes out;
  if (read_in_requests(&open.stream, read, {request}, &out) != PAYLOAD_OK) return PAYLOAD_BAD_HEADER;
  return payload_stream_finish(&open.stream);
}

TEST(PayloadStream, FinishingTestsTheWholeFrameAndNothingAfterIt) {
  Bytes content = pseudo_random(300000, 10, 64);
  Bytes frame = compress(content);
  EXPECT_EQ(read_then_finish(resource_of(frame), content.size()), PAYLOAD_OK);
  // Bytes decoded after the point where reading stopped are dropped, however many.
  for (size_t read : {size_t{0}, size_t{1}, size_t{2}, content.size() / 2, content.size() - 1}) {
    EXPECT_EQ(read_then_finish(resource_of(frame), read), PAYLOAD_OK) << read;
  }
  // Whatever follows the frame is never taken for another frame.
  Bytes second_frame = compress(pseudo_random(1000, 11));
  for (const Bytes& trailer : {pseudo_random(5000, 12), second_frame, Bytes{0x28, 0xB5, 0x2F, 0xFD}}) {
    EXPECT_EQ(read_then_finish(resource_of(frame, trailer), content.size()), PAYLOAD_OK);
    EXPECT_EQ(read_then_finish(resource_of(frame, trailer), 100), PAYLOAD_OK);
  }
  // A frame whose last output was handed out by the read that reached its end.
  Bytes small = pseudo_random(1000, 13);
  EXPECT_EQ(read_then_finish(resource_of(compress(small), pseudo_random(64, 14)), small.size(), small.size()),
            PAYLOAD_OK);
  // Frames without a checksum end all the same.
  EXPECT_EQ(read_then_finish(resource_of(compress(content, {.checksum = false})), 10), PAYLOAD_OK);
}

TEST(PayloadStream, FinishingFailsOnADamagedOrShortTail) {
  Bytes content = pseudo_random(300000, 15, 64);
  Bytes frame = compress(content);
  struct Case {
    const char* what;
    Bytes resource;
  };
  std::vector<Case> cases;
  for (size_t cut = 1; cut <= 4; ++cut) {
    cases.push_back({"cut in the checksum", resource_of(Bytes(frame.begin(), frame.end() - static_cast<long>(cut)))});
  }
  cases.push_back({"cut inside the last block", resource_of(Bytes(frame.begin(), frame.end() - 40))});
  for (size_t at = 1; at <= 4; ++at) {
    Bytes flipped = frame;
    flipped[flipped.size() - at] ^= 0x01;
    cases.push_back({"checksum byte flipped", resource_of(flipped)});
  }
  Bytes flipped_block = frame;
  flipped_block[flipped_block.size() - 30] ^= 0x40;
  cases.push_back({"last block damaged", resource_of(flipped_block)});
  for (const Case& c : cases) {
    // From early in the content, as the launcher's end marker may come before
    // the last block: finishing decodes the rest.
    EXPECT_EQ(read_then_finish(c.resource, 1000), PAYLOAD_CORRUPT) << c.what;
  }
}

TEST(PayloadStream, FrameEndingAtTheResourceEndDeliversOutputStillInsideTheLibrary) {
  // Highly compressible content: the last input bytes are consumed by a call
  // that fills the buffer, and more output stays inside the library for a
  // later request that finds all input consumed.
  Bytes content(5 * PAYLOAD_OUTPUT_BUFFER_SIZE, 'a');
  for (size_t i = 0; i < content.size(); i += 4096) content[i] = static_cast<uint8_t>(i / 4096);
  for (const auto& pattern : std::vector<std::vector<size_t>>{
           {PAYLOAD_OUTPUT_BUFFER_SIZE}, {2}, {32768}, {PAYLOAD_OUTPUT_BUFFER_SIZE - 1}, {content.size()}}) {
    OpenStream open(resource_of(compress(content, {.level = 19})));
    Bytes out;
    ASSERT_EQ(read_in_requests(&open.stream, content.size(), pattern, &out), PAYLOAD_OK) << pattern[0];
    EXPECT_EQ(out, content);
    // Past the content there is nothing more to come.
    uint8_t extra;
    EXPECT_EQ(payload_stream_read(&open.stream, &extra, 1), PAYLOAD_CORRUPT);
  }
}

TEST(PayloadStream, WindowsUpToTheDefaultLimitDecodeLargerOnesFail) {
  Bytes content = pseudo_random(1 << 20, 6, 8);
  {
    OpenStream open(resource_of(compress(content, {.window_log = PAYLOAD_MAX_WINDOW_LOG, .unknown_size = true})));
    ASSERT_EQ(ZSTD_getFrameContentSize(open.resource.data() + 3, open.resource.size() - 3), ZSTD_CONTENTSIZE_UNKNOWN);
    Bytes out;
    ASSERT_EQ(read_in_requests(&open.stream, content.size(), {32768}, &out), PAYLOAD_OK);
    EXPECT_EQ(out, content);
  }
  {
    OpenStream open(resource_of(compress(content, {.window_log = PAYLOAD_MAX_WINDOW_LOG + 1, .unknown_size = true})));
    Bytes out;
    EXPECT_EQ(read_in_requests(&open.stream, content.size(), {32768}, &out), PAYLOAD_CORRUPT);
  }
}

TEST(PayloadStream, FramesWithoutChecksumOrContentSizeDecode) {
  Bytes content = pseudo_random(70000, 8);
  OpenStream open(resource_of(compress(content, {.checksum = false, .unknown_size = true})));
  Bytes out;
  ASSERT_EQ(read_in_requests(&open.stream, content.size(), {2, 8}, &out), PAYLOAD_OK);
  EXPECT_EQ(out, content);
}

}  // namespace
