// Property: for any bytes taken as a payload resource, the shared stream reader,
// the launcher's own entry loop (the one its unpacking runs) and list/verify
// never crash, never loop for ever and never read out of bounds. All agree with a
// plain parse of the bytes the frame decodes to: the same entries in the same
// order, a name of 1024 or more units reported as too long (never stored past
// the launcher's 1024-unit buffer), and a cut-short entry reported as corrupt.
// The loop stops at the first name that would leave the extraction directory
// and hands on each entry's contents in chunks that add up to its size. In
// content mode (see fuzz_payload.h) the reader also hands out exactly the
// content that was compressed, and verify accepts the payload exactly when it
// is sound: entries, valid names, and a whole frame whose checksum, if it has
// one, holds; a frame without one passes but is reported as such, and so are
// the bytes decoded after the end marker, which the launcher ignores.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_payload.h"
#include "packer/entry_names.h"
#include "packer/payload_inspect.h"
#include "packer/utf.h"
#include "payload/entry_name_rule.h"
#include "payload/entry_walk.h"
#include "payload/payload_format.h"
#include "payload/payload_stream.h"

namespace {

using namespace vorbel;
using Bytes = std::vector<uint8_t>;

// Decoded bytes beyond this are not collected for the comparison (a small frame
// can decode to gigabytes); the readers under test still go through all of them.
constexpr size_t kDecodedCap = size_t{32} << 20;

enum class End { kEndMarker, kNameTooLong, kCorrupt, kBadHeader, kOutside };

struct Entry {
  std::u16string name;
  uint64_t size;
  bool operator==(const Entry&) const = default;
};

struct Walk {
  End end = End::kCorrupt;
  std::vector<Entry> entries;
  size_t end_offset = 0;  // decoded bytes up to and including the end marker
  // The index of the first entry whose name would leave the extraction
  // directory, where the launcher stops; none when all stay inside.
  std::optional<size_t> first_outside;
};

// A stream over `resource` with its own decoder and output buffer.
class Stream {
 public:
  explicit Stream(const Bytes& resource) : buffer_(PAYLOAD_OUTPUT_BUFFER_SIZE) {
    stream_.resource_data = resource.data();
    stream_.resource_size = resource.size();
    header_ = payload_stream_accept_header(&stream_);
    if (header_ == PAYLOAD_OK) payload_stream_start(&stream_, buffer_.data(), ZSTD_createDCtx());
  }
  ~Stream() { ZSTD_freeDCtx(stream_.decoder); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool accepted() const { return header_ == PAYLOAD_OK; }
  bool read(void* to, uint64_t count) { return payload_stream_read(&stream_, to, count) == PAYLOAD_OK; }
  PayloadStream* stream() { return &stream_; }

 private:
  PayloadStream stream_ = {};
  PayloadStatus header_;
  Bytes buffer_;
};

// Takes what the launcher's loop hands a sink and checks its side of the
// contract: NUL-terminated names that stay inside the directory, and each
// entry's contents in chunks of the launcher's size that add up to its size.
struct Recorder {
  std::vector<Entry> entries;
  uint64_t received = 0;
  bool awaiting_size = false;  // the last name's size is still to be read
  bool open = false;
};

bool take_name(void* context, const char16_t* name, size_t length) {
  auto* recorder = static_cast<Recorder*>(context);
  FUZZ_CHECK(!recorder->open && !recorder->awaiting_size && length > 0 && name[length] == 0);
  FUZZ_CHECK(entry_name_stays_inside(name));
  recorder->entries.push_back({std::u16string(name, length), 0});
  recorder->awaiting_size = true;
  return true;
}

void begin_contents(void* context, uint64_t size) {
  auto* recorder = static_cast<Recorder*>(context);
  FUZZ_CHECK(!recorder->open && recorder->awaiting_size);
  recorder->entries.back().size = size;
  recorder->awaiting_size = false;
  recorder->received = 0;
  recorder->open = true;
}

void write_contents(void* context, const uint8_t*, size_t count) {
  auto* recorder = static_cast<Recorder*>(context);
  FUZZ_CHECK(recorder->open && count > 0 && count <= ENTRY_WRITE_CHUNK);
  recorder->received += count;
  FUZZ_CHECK(recorder->received <= recorder->entries.back().size);
}

void end_contents(void* context) {
  auto* recorder = static_cast<Recorder*>(context);
  FUZZ_CHECK(recorder->open && recorder->received == recorder->entries.back().size);
  recorder->open = false;
}

// The launcher's own loop, into a name buffer of the launcher's size guarded
// on both sides.
Walk walk_like_the_launcher(const Bytes& resource) {
  Stream stream(resource);
  if (!stream.accepted()) return {End::kBadHeader, {}, 0, std::nullopt};
  static uint8_t chunk[ENTRY_WRITE_CHUNK];
  constexpr char16_t kGuard = 0xFDFD;
  char16_t guarded[ENTRY_NAME_CAPACITY + 2];
  std::fill(std::begin(guarded), std::end(guarded), kGuard);
  Recorder recorder;
  const EntrySink sink = {take_name, begin_contents, write_contents, end_contents, &recorder};
  const EntryWalkEnd end = payload_walk_entries(stream.stream(), guarded + 1, chunk, sizeof chunk, &sink);
  FUZZ_CHECK(guarded[0] == kGuard && guarded[ENTRY_NAME_CAPACITY + 1] == kGuard);
  Walk walk;
  walk.entries = recorder.entries;
  switch (end) {
    case ENTRY_WALK_END_MARKER:
      walk.end = End::kEndMarker;
      break;
    case ENTRY_WALK_NAME_TOO_LONG:
      walk.end = End::kNameTooLong;
      break;
    case ENTRY_WALK_OUTSIDE:
      FUZZ_CHECK(!entry_name_stays_inside(guarded + 1));
      walk.end = End::kOutside;
      break;
    case ENTRY_WALK_CORRUPT:
      walk.end = End::kCorrupt;
      // A name whose size was cut off is no entry yet (as in parse below).
      if (recorder.awaiting_size) walk.entries.pop_back();
      break;
    case ENTRY_WALK_STOPPED:
      FUZZ_CHECK(false);
  }
  return walk;
}

// What the stream hands out before it fails, in requests of varied sizes (each
// request as large as what is left of `expected_size` when that is known), or
// nothing when there is more than kDecodedCap.
std::optional<Bytes> read_everything(const Bytes& resource, std::optional<size_t> expected_size, uint8_t pattern) {
  static constexpr size_t kSizes[] = {1, 2, 8, 3, 32768, PAYLOAD_OUTPUT_BUFFER_SIZE, PAYLOAD_OUTPUT_BUFFER_SIZE + 1};
  Stream stream(resource);
  Bytes out;
  if (!stream.accepted()) return out;
  for (size_t i = pattern;; ++i) {
    size_t request = kSizes[i % std::size(kSizes)];
    if (expected_size) {
      if (out.size() == *expected_size) break;
      request = std::min(request, *expected_size - out.size());
    }
    if (out.size() + request > kDecodedCap) return std::nullopt;
    size_t at = out.size();
    out.resize(at + request);
    if (!stream.read(out.data() + at, request)) {
      out.resize(at);
      if (expected_size) return out;
      // The failed request may have taken some bytes: fetch the rest one at a time.
      Stream again(resource);
      Bytes skip(at);
      FUZZ_CHECK(again.read(skip.data(), at));
      for (uint8_t byte; again.read(&byte, 1);) out.push_back(byte);
      FUZZ_CHECK(out.size() < at + request);
      return out;
    }
  }
  // The content is over: no further byte may come.
  uint8_t byte;
  FUZZ_CHECK(!stream.read(&byte, 1));
  return out;
}

// The entry list in `decoded`, parsed directly; running out of bytes is corruption.
Walk parse(const Bytes& decoded) {
  Walk walk;
  size_t at = 0;
  auto left = [&] { return decoded.size() - at; };
  for (;;) {
    std::u16string name;
    for (;;) {
      if (left() < 2) return walk;
      char16_t unit = static_cast<char16_t>(decoded[at] | (decoded[at + 1] << 8));
      at += 2;
      if (unit == 0) break;
      if (name.size() == pack::kMaxEntryNameUnits) {
        walk.end = End::kNameTooLong;
        return walk;
      }
      name += unit;
    }
    if (!name.empty() && !walk.first_outside && !entry_name_stays_inside(name.c_str())) {
      walk.first_outside = walk.entries.size();
    }
    if (name.empty()) {
      walk.end = End::kEndMarker;
      walk.end_offset = at;
      return walk;
    }
    if (left() < ENTRY_SIZE_BYTES) return walk;
    uint64_t size = 0;
    for (size_t i = ENTRY_SIZE_BYTES; i-- > 0;) size = (size << 8) | decoded[at + i];
    at += ENTRY_SIZE_BYTES;
    walk.entries.push_back({name, size});
    if (left() < size) return walk;
    at += static_cast<size_t>(size);
  }
}

// What the launcher's loop must report of a parse: the entries up to the
// first name that would leave the directory.
Walk as_the_launcher_sees_it(Walk parsed) {
  if (parsed.first_outside) {
    parsed.entries.resize(*parsed.first_outside);
    parsed.end = End::kOutside;
  }
  return parsed;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool names_acceptable(const std::vector<Entry>& entries) {
  pack::NameBook book;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (pack::entry_name_problem(entries[i].name) || book.add(entries[i].name, i)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const Bytes rest(data + 1, data + size);
  const bool raw = (flags & fuzz::kRawResource) != 0;
  const bool cut = !raw && (flags & fuzz::kCutLastByte) != 0;
  const bool checksum = !raw && (flags & fuzz::kNoChecksum) == 0;
  Bytes resource = raw ? rest : fuzz::compress_payload(rest, checksum);
  if (cut) resource.pop_back();  // never below "VUQ": a frame has a header

  const Walk walk = walk_like_the_launcher(resource);
  std::ostringstream listing;
  const pack::Status listed = pack::list_payload(resource, listing);
  const pack::Result<pack::VerifyReport> verified = pack::verify_payload(resource);

  const bool has_header = resource.size() >= PAYLOAD_HEADER_SIZE &&
                          std::equal(PAYLOAD_HEADER, PAYLOAD_HEADER + PAYLOAD_HEADER_SIZE, resource.begin());
  FUZZ_CHECK((walk.end == End::kBadHeader) == !has_header);
  if (!has_header) {
    FUZZ_CHECK(!listed.ok() && !verified.ok());
    return 0;
  }

  const std::optional<size_t> expected_size = raw || cut ? std::nullopt : std::optional<size_t>(rest.size());
  const std::optional<Bytes> decoded = read_everything(resource, expected_size, flags >> 3);
  if (!raw && decoded) {
    FUZZ_CHECK(std::equal(decoded->begin(), decoded->end(), rest.begin(), rest.end()) ||
               (cut && decoded->size() < rest.size() && std::equal(decoded->begin(), decoded->end(), rest.begin())));
  }
  if (!decoded) return 0;

  // The launcher's walk, list and a direct parse of the decoded bytes agree.
  const Walk expected = parse(*decoded);
  const Walk launcher = as_the_launcher_sees_it(expected);
  FUZZ_CHECK(walk.end == launcher.end);
  FUZZ_CHECK(walk.entries == launcher.entries);
  switch (expected.end) {
    case End::kEndMarker: {
      FUZZ_CHECK(listed.ok());
      std::ostringstream lines;
      for (const Entry& entry : expected.entries)
        lines << std::setw(10) << entry.size << "  " << pack::printable(entry.name) << '\n';
      FUZZ_CHECK(listing.str() == lines.str());
      break;
    }
    case End::kNameTooLong:
      FUZZ_CHECK(!listed.ok() &&
                 contains(listed.failure().problem,
                          "longer than 1023 UTF-16 units (entry " + std::to_string(expected.entries.size() + 1) + ")"));
      break;
    case End::kCorrupt:
      FUZZ_CHECK(!listed.ok() && contains(listed.failure().problem, "corrupt or cut short"));
      break;
    case End::kBadHeader:
    case End::kOutside:
      FUZZ_CHECK(false);
  }

  if (verified.ok()) {
    FUZZ_CHECK(expected.end == End::kEndMarker && !expected.entries.empty() && names_acceptable(expected.entries));
    FUZZ_CHECK(verified->entries == expected.entries.size());
    uint64_t total = 0;
    for (const Entry& entry : expected.entries) total += entry.size;
    FUZZ_CHECK(verified->content_bytes == total);
    FUZZ_CHECK(verified->frame_bytes + verified->trailing_bytes + PAYLOAD_HEADER_SIZE == resource.size());
  }
  if (!raw) {
    // A frame we made whole verifies exactly when its content is sound, checksum or not;
    // bytes decoded after the end marker are counted, as the launcher runs such a payload.
    const bool sound = expected.end == End::kEndMarker && !expected.entries.empty() &&
                       names_acceptable(expected.entries);
    FUZZ_CHECK(verified.ok() == (sound && !cut));
    if (verified.ok()) {
      FUZZ_CHECK(verified->trailing_bytes == 0 && verified->content_checksum == checksum);
      FUZZ_CHECK(verified->bytes_after_end_marker == rest.size() - expected.end_offset);
    }
  }
  return 0;
}
