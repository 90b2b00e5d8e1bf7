// The payload writer; see payload_writer.h. The entries are read once, in
// order, straight into the compressor's input; nothing here may depend on
// time, thread count or file system order, so equal inputs give equal bytes.
#include "packer/payload_writer.h"

#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "packer/compressor_memory.h"
#include "packer/platform.h"
#include "payload/payload_format.h"

namespace vorbel::pack {
namespace {

constexpr size_t kInputChunk = size_t{1} << 20;

struct ContextDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

Failure compressor_failure(size_t code) {
  return Failure{"", std::string("compression failed: ") + ZSTD_getErrorName(code)};
}

// Gathers input into chunks and feeds them to the compressor, passing what
// comes out to the sink.
class FrameWriter {
 public:
  FrameWriter(ZSTD_CCtx* context, const ResourceSink& sink, const Progress& progress, uint64_t max_bytes)
      : context_(context),
        sink_(sink),
        progress_(progress),
        max_bytes_(max_bytes),
        input_(kInputChunk),
        output_(ZSTD_CStreamOutSize()) {}

  Status append(const uint8_t* bytes, size_t count) {
    while (count != 0) {
      size_t take = std::min(count, input_.size() - filled_);
      std::copy(bytes, bytes + take, input_.data() + filled_);
      filled_ += take, bytes += take, count -= take;
      if (filled_ == input_.size()) {
        if (Status fed = feed(ZSTD_e_continue); !fed.ok()) return fed;
      }
    }
    return done();
  }

  // Reads straight into the input chunk: the contents are not copied twice.
  uint8_t* free_space(size_t* room) {
    *room = input_.size() - filled_;
    return input_.data() + filled_;
  }
  Status commit(size_t count) {
    filled_ += count;
    return filled_ == input_.size() ? feed(ZSTD_e_continue) : done();
  }

  Status finish() { return feed(ZSTD_e_end); }

  // Bytes passed to the sink so far, "VUQ" included.
  Status emit(std::span<const uint8_t> bytes) {
    if (head_.size() < ZSTD_FRAMEHEADERSIZE_MAX + PAYLOAD_HEADER_SIZE) {
      size_t take = std::min(bytes.size(), ZSTD_FRAMEHEADERSIZE_MAX + PAYLOAD_HEADER_SIZE - head_.size());
      head_.insert(head_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    }
    written_ += bytes.size();
    if (written_ > max_bytes_) {
      uint64_t read = ZSTD_getFrameProgression(context_).ingested;
      return Failure{"", "cannot be made: after " + std::to_string(read) +
                             " bytes of input the compressed payload is already " + std::to_string(written_) +
                             " bytes, more than the " + std::to_string(max_bytes_) +
                             " a Windows program can hold (2 GiB in all); pack fewer or more compressible files"};
    }
    return sink_(bytes);
  }
  uint64_t written() const { return written_; }
  // The first bytes of the resource: enough for the frame header.
  const std::vector<uint8_t>& head() const { return head_; }

 private:
  Status feed(ZSTD_EndDirective mode) {
    ZSTD_inBuffer in = {input_.data(), filled_, 0};
    for (;;) {
      ZSTD_outBuffer out = {output_.data(), output_.size(), 0};
      size_t left = ZSTD_compressStream2(context_, &out, &in, mode);
      if (ZSTD_isError(left)) return compressor_failure(left);
      if (Status emitted = emit(std::span(output_).first(out.pos)); !emitted.ok()) return emitted;
      // With workers, each call returns when the oldest job has output or the
      // input was taken, so this runs about once per compressed block.
      if (progress_) progress_(ZSTD_getFrameProgression(context_).consumed);
      bool finished = mode == ZSTD_e_end ? left == 0 : in.pos == in.size;
      if (finished) break;
    }
    filled_ = 0;
    return done();
  }

  ZSTD_CCtx* context_;
  const ResourceSink& sink_;
  const Progress& progress_;
  uint64_t max_bytes_;
  uint64_t written_ = 0;
  std::vector<uint8_t> head_;
  std::vector<uint8_t> input_;
  size_t filled_ = 0;
  std::vector<uint8_t> output_;
};

// The decompressed size is pledged up front, so the compressor sizes the
// frame's window to the payload and a small payload never makes the launcher
// reserve a large window; it also makes a file that changes while being read
// detectable rather than silently packed half old, half new. The workers are
// as many as the memory budget allows; the frame does not depend on them.
Status configure(ZSTD_CCtx* context, const CompressionSettings& settings, uint64_t content_size) {
  const std::pair<ZSTD_cParameter, int> parameters[] = {
      {ZSTD_c_compressionLevel, settings.level},
      {ZSTD_c_checksumFlag, 1},
      {ZSTD_c_contentSizeFlag, 1},
      {ZSTD_c_nbWorkers, plan_compression(settings, content_size).workers},
      {ZSTD_c_enableLongDistanceMatching, settings.long_window_log != 0 ? 1 : 0},
  };
  for (auto [parameter, value] : parameters) {
    size_t result = ZSTD_CCtx_setParameter(context, parameter, value);
    if (ZSTD_isError(result)) {
      if (parameter == ZSTD_c_nbWorkers) return Failure{"", "this build of libzstd cannot compress with threads"};
      return compressor_failure(result);
    }
  }
  if (settings.long_window_log != 0) {
    size_t result = ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, settings.long_window_log);
    if (ZSTD_isError(result)) return compressor_failure(result);
  }
  size_t result = ZSTD_CCtx_setPledgedSrcSize(context, content_size);
  if (ZSTD_isError(result)) return compressor_failure(result);
  return done();
}

Status copy_contents(const InputFile& file, FrameWriter& writer) {
  int error_number = 0;
  std::unique_ptr<std::FILE, FileCloser> input(platform::open_for_reading(file.path, &error_number));
  if (!input) return Failure{platform::show(file.path), "cannot open: " + platform::error_text(error_number)};
  for (uint64_t left = file.size; left != 0;) {
    size_t room;
    uint8_t* space = writer.free_space(&room);
    size_t want = left < room ? static_cast<size_t>(left) : room;
    size_t got = std::fread(space, 1, want, input.get());
    if (got != want) {
      if (std::ferror(input.get()))
        return Failure{platform::show(file.path), "cannot read: " + platform::error_text(errno)};
      return Failure{platform::show(file.path),
                     "shrank while being packed (it had " + std::to_string(file.size) + " bytes)"};
    }
    if (Status committed = writer.commit(got); !committed.ok()) return committed;
    left -= got;
  }
  if (std::fgetc(input.get()) != EOF) {
    return Failure{platform::show(file.path),
                   "grew while being packed (it had " + std::to_string(file.size) + " bytes)"};
  }
  return done();
}

}  // namespace

std::vector<uint8_t> entry_header(std::u16string_view name, uint64_t size) {
  std::vector<uint8_t> bytes;
  bytes.reserve(2 * name.size() + 2 + ENTRY_SIZE_BYTES);
  for (char16_t unit : name) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  bytes.insert(bytes.end(), {0, 0});
  for (size_t i = 0; i < ENTRY_SIZE_BYTES; ++i) bytes.push_back(static_cast<uint8_t>(size >> (8 * i)));
  return bytes;
}

uint64_t payload_content_size(const std::vector<InputFile>& files) {
  uint64_t total = 2;  // end marker
  for (const InputFile& file : files) total += 2 * (file.name.size() + 1) + ENTRY_SIZE_BYTES + file.size;
  return total;
}

Result<uint64_t> stream_payload_resource(const std::vector<InputFile>& files, const CompressionSettings& settings,
                                         const ResourceSink& sink, const Progress& progress, uint64_t max_bytes) {
  std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
  if (!context) return Failure{"", "out of memory for the compressor"};
  if (Status configured = configure(context.get(), settings, payload_content_size(files)); !configured.ok()) {
    return configured.failure();
  }
  FrameWriter writer(context.get(), sink, progress, max_bytes);
  if (Status emitted = writer.emit({PAYLOAD_HEADER, PAYLOAD_HEADER_SIZE}); !emitted.ok()) return emitted.failure();
  for (size_t i = 0; i < files.size(); ++i) {
    std::vector<uint8_t> header = entry_header(files[i].name, files[i].size);
    if (Status appended = writer.append(header.data(), header.size()); !appended.ok()) return appended.failure();
    if (Status copied = copy_contents(files[i], writer); !copied.ok()) return copied.failure();
  }
  const uint8_t end_marker[2] = {0, 0};
  if (Status appended = writer.append(end_marker, sizeof end_marker); !appended.ok()) return appended.failure();
  if (Status finished = writer.finish(); !finished.ok()) return finished.failure();

  // The launcher's decoder refuses larger windows; never hand it one.
  const std::vector<uint8_t>& head = writer.head();
  ZSTD_frameHeader header;
  size_t parsed = ZSTD_getFrameHeader(&header, head.data() + PAYLOAD_HEADER_SIZE, head.size() - PAYLOAD_HEADER_SIZE);
  if (parsed != 0 || header.windowSize > (uint64_t{1} << PAYLOAD_MAX_WINDOW_LOG)) {
    return Failure{"", "the compressor made a frame the launcher could not decode"};
  }
  return writer.written();
}

Result<std::vector<uint8_t>> make_payload_resource(const std::vector<InputFile>& files,
                                                   const CompressionSettings& settings, const Progress& progress) {
  std::vector<uint8_t> resource;
  auto sink = [&](std::span<const uint8_t> bytes) {
    resource.insert(resource.end(), bytes.begin(), bytes.end());
    return done();
  };
  auto streamed = stream_payload_resource(files, settings, sink, progress);
  if (!streamed.ok()) return streamed.failure();
  return resource;
}

}  // namespace vorbel::pack
