// list, extract and verify over the shared stream reader; see payload_inspect.h.
// The reader stops at the end marker, as the launcher does; verify alone goes
// on to the end of the frame, because only there is the checksum tested.
#include "packer/payload_inspect.h"

#include <zstd.h>

#include <cstdio>
#include <iomanip>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "packer/entry_names.h"
#include "packer/platform.h"
#include "packer/utf.h"
#include "payload/payload_entry.h"
#include "payload/payload_format.h"
#include "payload/payload_stream.h"

namespace vorbel::pack {
namespace fs = std::filesystem;
namespace {

constexpr size_t kCopyChunk = 65536;

// Why the frame cannot be decoded, found by decoding it again from the start:
// the stream reader only says that it failed, not how.
std::string diagnose(const void* frame, size_t size) {
  std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> decoder(ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (!decoder) return "out of memory";
  ZSTD_inBuffer in = {frame, size, 0};
  std::vector<uint8_t> scratch(ZSTD_DStreamOutSize());
  for (;;) {
    size_t consumed_before = in.pos;
    ZSTD_outBuffer out = {scratch.data(), scratch.size(), 0};
    size_t result = ZSTD_decompressStream(decoder.get(), &out, &in);
    if (ZSTD_isError(result)) return ZSTD_getErrorName(result);
    if (result == 0) return "the frame ends before the entries do";
    if (out.pos == 0 && in.pos == consumed_before) return "the frame is cut short";
  }
}

// One pass over the entries, in the launcher's order of reads.
class EntryReader {
 public:
  explicit EntryReader(std::span<const uint8_t> resource) : buffer_(PAYLOAD_OUTPUT_BUFFER_SIZE) {
    stream_.resource_data = resource.data();
    stream_.resource_size = resource.size();
  }
  ~EntryReader() { ZSTD_freeDCtx(stream_.decoder); }
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;

  Status open() {
    if (payload_stream_accept_header(&stream_) != PAYLOAD_OK) {
      return Failure{"", "holds no payload: the resource does not begin with \"VUQ\""};
    }
    ZSTD_DCtx* decoder = ZSTD_createDCtx();
    if (decoder == nullptr) return Failure{"", "out of memory for the decoder"};
    payload_stream_start(&stream_, buffer_.data(), decoder);
    return done();
  }

  // The next entry's name and size; false at the end marker.
  Result<bool> next(std::u16string* name, uint64_t* size) {
    char16_t units[ENTRY_NAME_CAPACITY];
    size_t length = 0;
    EntryStatus status = payload_read_entry_name(&stream_, units, &length);
    name->assign(units, length);
    if (status == ENTRY_END) return false;
    if (status == ENTRY_CORRUPT) return corrupt("the name of");
    if (status == ENTRY_NAME_TOO_LONG) {
      return Failure{"", "payload holds an entry name longer than " + std::to_string(kMaxEntryNameUnits) +
                             " UTF-16 units (entry " + std::to_string(index_ + 1) + ")"};
    }
    ++index_;
    name_ = *name;
    if (payload_read_entry_size(&stream_, size) != ENTRY_OK) return corrupt("the size of");
    return true;
  }

  Status read(uint8_t* destination, size_t count) {
    if (payload_stream_read(&stream_, destination, count) != PAYLOAD_OK) return corrupt("the contents of");
    return done();
  }

  Status skip(uint64_t count) {
    std::vector<uint8_t> scratch(kCopyChunk);
    for (; count != 0;) {
      size_t take = count < scratch.size() ? static_cast<size_t>(count) : scratch.size();
      if (Status read_ok = read(scratch.data(), take); !read_ok.ok()) return read_ok;
      count -= take;
    }
    return done();
  }

  PayloadStream& stream() { return stream_; }

 private:
  // Entries are counted from 1; a name being read belongs to the next one.
  Failure corrupt(std::string_view part) const {
    std::string where = part == "the name of" ? "entry " + std::to_string(index_ + 1)
                                              : "entry " + std::to_string(index_) + " '" + printable(name_) + "'";
    return Failure{"", "payload is corrupt or cut short in " + std::string(part) + " " + where + " (" +
                           diagnose(stream_.input.src, stream_.input.size) + ")"};
  }

  PayloadStream stream_ = {};
  std::vector<uint8_t> buffer_;
  uint64_t index_ = 0;
  std::u16string name_;
};

struct FrameEnd {
  uint64_t bytes_after_end_marker = 0;  // decoded, then dropped as the launcher drops them
  uint64_t trailing_bytes = 0;          // in the resource after the frame
};

// After the end marker: the frame must end (checksum included) where its own
// header says. What it still decodes to is counted, not refused: the launcher
// drops it and runs the program (payload_stream_finish).
Result<FrameEnd> finish_frame(PayloadStream& stream) {
  FrameEnd end;
  end.bytes_after_end_marker = stream.output.size - stream.output.pos;
  const auto* frame = static_cast<const uint8_t*>(stream.input.src);
  size_t frame_size = ZSTD_findFrameCompressedSize(frame, stream.input.size);
  if (ZSTD_isError(frame_size))
    return Failure{"", std::string("payload frame is cut short or corrupt: ") + ZSTD_getErrorName(frame_size)};
  ZSTD_inBuffer in = {frame, frame_size, stream.input.pos};
  std::vector<uint8_t> scratch(ZSTD_DStreamOutSize());
  // Only a decoder that has returned 0 has tested the checksum; until then
  // every call must yield output or take input, or the frame is cut short.
  for (bool complete = stream.frame_complete; !complete;) {
    size_t consumed_before = in.pos;
    ZSTD_outBuffer out = {scratch.data(), scratch.size(), 0};
    size_t result = ZSTD_decompressStream(stream.decoder, &out, &in);
    if (ZSTD_isError(result))
      return Failure{"", std::string("payload frame fails its check: ") + ZSTD_getErrorName(result)};
    end.bytes_after_end_marker += out.pos;
    complete = result == 0;
    if (!complete && out.pos == 0 && in.pos == consumed_before) return Failure{"", "payload frame is cut short"};
  }
  if (in.pos != in.size) return Failure{"", "payload frame ends before its declared size"};
  end.trailing_bytes = stream.input.size - frame_size;
  return end;
}

std::optional<ZSTD_frameHeader> frame_header(std::span<const uint8_t> frame) {
  ZSTD_frameHeader header;
  if (ZSTD_getFrameHeader(&header, frame.data(), frame.size()) != 0 || header.frameType != ZSTD_frame)
    return std::nullopt;
  return header;
}

Status check_frame_header(std::span<const uint8_t> frame, VerifyReport* report) {
  std::optional<ZSTD_frameHeader> found = frame_header(frame);
  if (!found) return Failure{"", "payload does not hold a Zstandard frame after \"VUQ\""};
  const ZSTD_frameHeader& header = *found;
  if (header.windowSize > (uint64_t{1} << PAYLOAD_MAX_WINDOW_LOG)) {
    return Failure{"", "payload frame declares a window of " + std::to_string(header.windowSize) +
                           " bytes, more than the launcher accepts (2^" + std::to_string(PAYLOAD_MAX_WINDOW_LOG) + ")"};
  }
  report->content_checksum = header.checksumFlag != 0;
  report->window_bytes = header.windowSize;
  size_t estimate = ZSTD_estimateDStreamSize_fromFrame(frame.data(), frame.size());
  report->decoder_bytes = ZSTD_isError(estimate) ? 0 : estimate;
  return done();
}

Status check_name(NameBook& names, const std::u16string& name, uint64_t index) {
  if (auto problem = entry_name_problem(name)) return Failure{"", "payload " + *problem};
  if (auto clash = names.add(name, index)) return Failure{"", "payload " + clash->what};
  return done();
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

Status write_entry(EntryReader& reader, const fs::path& target, uint64_t size) {
  std::error_code error;
  fs::create_directories(target.parent_path(), error);
  if (error) return Failure{platform::show(target.parent_path()), "cannot create directory: " + error.message()};
  int error_number = 0;
  std::unique_ptr<std::FILE, FileCloser> file(platform::create_new_file(target, false, &error_number));
  if (!file) return Failure{platform::show(target), "cannot create: " + platform::error_text(error_number)};
  std::vector<uint8_t> chunk(kCopyChunk);
  Status status = done();
  for (uint64_t left = size; left != 0 && status.ok();) {
    size_t take = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
    status = reader.read(chunk.data(), take);
    if (status.ok() && std::fwrite(chunk.data(), 1, take, file.get()) != take) {
      status = Failure{platform::show(target), "cannot write: " + platform::error_text(errno)};
    }
    left -= take;
  }
  if (status.ok() && !platform::finish_file(file.release(), false, &error_number)) {
    status = Failure{platform::show(target), "cannot write: " + platform::error_text(error_number)};
  }
  if (!status.ok()) {
    file.reset();
    fs::remove(target, error);
  }
  return status;
}

fs::path host_path(const fs::path& directory, const std::u16string& name) {
  fs::path path = directory;
  for (size_t start = 0;;) {
    size_t end = name.find(kSeparator, start);
    path /= platform::path_from_utf16(
        std::u16string_view(name).substr(start, end == std::u16string::npos ? end : end - start));
    if (end == std::u16string::npos) return path;
    start = end + 1;
  }
}

}  // namespace

Status list_payload(std::span<const uint8_t> resource, std::ostream& out) {
  EntryReader reader(resource);
  if (Status opened = reader.open(); !opened.ok()) return opened;
  std::u16string name;
  uint64_t size;
  for (;;) {
    Result<bool> more = reader.next(&name, &size);
    if (!more.ok()) return more.failure();
    if (!more.value()) return done();
    out << std::setw(10) << size << "  " << printable(name) << '\n';
    if (Status skipped = reader.skip(size); !skipped.ok()) return skipped;
  }
}

Status extract_payload(std::span<const uint8_t> resource, const fs::path& directory) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(directory, error))) {
    if (!fs::is_directory(directory, error)) return Failure{platform::show(directory), "is not a directory"};
    if (!fs::is_empty(directory, error))
      return Failure{platform::show(directory), "is not empty; extract needs an empty or new directory"};
  } else if (fs::create_directories(directory, error); error) {
    return Failure{platform::show(directory), "cannot create directory: " + error.message()};
  }
  EntryReader reader(resource);
  if (Status opened = reader.open(); !opened.ok()) return opened;
  NameBook names;
  std::u16string name;
  uint64_t size;
  for (uint64_t index = 0;; ++index) {
    Result<bool> more = reader.next(&name, &size);
    if (!more.ok()) return more.failure();
    if (!more.value()) return done();
    if (Status checked = check_name(names, name, index); !checked.ok()) return checked;
    if (Status written = write_entry(reader, host_path(directory, name), size); !written.ok()) return written;
  }
}

bool lacks_content_checksum(std::span<const uint8_t> resource) {
  if (resource.size() < PAYLOAD_HEADER_SIZE) return false;
  std::optional<ZSTD_frameHeader> header = frame_header(resource.subspan(PAYLOAD_HEADER_SIZE));
  return header && !header->checksumFlag;
}

Result<VerifyReport> verify_payload(std::span<const uint8_t> resource) {
  VerifyReport report;
  EntryReader reader(resource);
  if (Status opened = reader.open(); !opened.ok()) return opened.failure();
  std::span<const uint8_t> frame = resource.subspan(PAYLOAD_HEADER_SIZE);
  if (Status checked = check_frame_header(frame, &report); !checked.ok()) return checked.failure();
  NameBook names;
  std::u16string name;
  uint64_t size;
  for (;;) {
    Result<bool> more = reader.next(&name, &size);
    if (!more.ok()) return more.failure();
    if (!more.value()) break;
    if (Status checked = check_name(names, name, report.entries); !checked.ok()) return checked.failure();
    if (!report.cached_name_problem) report.cached_name_problem = cached_entry_name_problem(name);
    if (Status skipped = reader.skip(size); !skipped.ok()) return skipped.failure();
    ++report.entries;
    report.content_bytes += size;
  }
  if (report.entries == 0) return Failure{"", "payload holds no entries: the launcher needs the application DLL first"};
  Result<FrameEnd> end = finish_frame(reader.stream());
  if (!end.ok()) return end.failure();
  report.bytes_after_end_marker = end->bytes_after_end_marker;
  report.trailing_bytes = end->trailing_bytes;
  report.frame_bytes = frame.size() - report.trailing_bytes;
  return report;
}

}  // namespace vorbel::pack
