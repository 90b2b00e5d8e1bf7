// The payload stream reader; see payload_stream.h.
// Small requests (2-byte name units, the 8-byte size) are served from the
// output buffer; the decoder is called only when the buffer is drained.
#include "payload/payload_stream.h"

#include <string.h>

#include "payload/payload_format.h"

bool payload_header_present(const uint8_t* data, uint64_t size) {
  return data != nullptr && size >= PAYLOAD_HEADER_SIZE && memcmp(data, PAYLOAD_HEADER, PAYLOAD_HEADER_SIZE) == 0;
}

PayloadStatus payload_stream_accept_header(PayloadStream* stream) {
  if (!payload_header_present(stream->resource_data, stream->resource_size)) return PAYLOAD_BAD_HEADER;
  stream->resource_data += PAYLOAD_HEADER_SIZE;
  return PAYLOAD_OK;
}

void payload_stream_start(PayloadStream* stream, uint8_t* output_buffer, ZSTD_DCtx* decoder) {
  stream->decoder = decoder;
  stream->input = {stream->resource_data, static_cast<size_t>(stream->resource_size - PAYLOAD_HEADER_SIZE), 0};
  stream->output = {output_buffer, 0, 0};
  stream->frame_complete = false;
}

namespace {

// Refills the drained output buffer with at least one decoded byte.
//
// The decoder is called even when all input has been consumed: a call that
// filled the buffer (in this request or an earlier one) may have left output
// inside the library. A call that yields nothing while no input remains, or
// that neither consumes nor yields anything, means no more output can come:
// the frame was cut short. So every call either makes progress or fails, and
// a truncated payload can never loop for ever. Once the frame is complete
// nothing more can come either: a further call would take the bytes after the
// frame for the start of another one.
PayloadStatus refill(PayloadStream* stream) {
  for (;;) {
    if (stream->frame_complete) return PAYLOAD_CORRUPT;
    size_t consumed_before = stream->input.pos;
    stream->output.size = PAYLOAD_OUTPUT_BUFFER_SIZE;
    stream->output.pos = 0;
    size_t result = ZSTD_decompressStream(stream->decoder, &stream->output, &stream->input);
    size_t produced = stream->output.pos;
    stream->output.size = produced;
    stream->output.pos = 0;
    if (ZSTD_isError(result)) return PAYLOAD_CORRUPT;
    // 0: the frame is decoded, checksum tested, and all its output is out.
    if (result == 0) stream->frame_complete = true;
    if (produced > 0) return PAYLOAD_OK;
    bool input_used_up = stream->input.pos >= stream->input.size;
    if (input_used_up || stream->input.pos == consumed_before) return PAYLOAD_CORRUPT;
    // Only a frame or block header was consumed: call again.
  }
}

}  // namespace

PayloadStatus payload_stream_read(PayloadStream* stream, void* destination, uint64_t count) {
  auto* to = static_cast<uint8_t*>(destination);
  while (count != 0) {
    size_t available = stream->output.size - stream->output.pos;
    if (available == 0) {
      PayloadStatus status = refill(stream);
      if (status != PAYLOAD_OK) return status;
      continue;
    }
    size_t take = count < available ? static_cast<size_t>(count) : available;
    memcpy(to, static_cast<const uint8_t*>(stream->output.dst) + stream->output.pos, take);
    stream->output.pos += take;
    to += take;
    count -= take;
  }
  return PAYLOAD_OK;
}

PayloadStatus payload_stream_finish(PayloadStream* stream) {
  for (;;) {
    stream->output.pos = stream->output.size;  // decoded bytes past the end marker are no files
    if (stream->frame_complete) return PAYLOAD_OK;
    PayloadStatus status = refill(stream);
    if (status != PAYLOAD_OK && !stream->frame_complete) return status;
  }
}
