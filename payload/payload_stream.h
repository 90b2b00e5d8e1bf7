// Forward-only reader of the payload: header test, then exact-size reads of
// the decoded stream straight out of the (locked) resource bytes.
// Portable: the build tool reads payloads with the same code as the launcher.
// Failures are returned, never acted on; the launcher's wrappers end the process.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <zstd.h>

struct PayloadStream {
  const uint8_t* resource_data;  // the resource; past the header once it is accepted
  uint64_t resource_size;        // the whole resource, header included
  ZSTD_DCtx* decoder;
  ZSTD_inBuffer input;    // the frame: pos = bytes the decoder has consumed
  ZSTD_outBuffer output;  // the output buffer as a cursor: pos = handed out, size = filled
  bool frame_complete;    // the decoder has reached the frame's end and tested its checksum
};

enum PayloadStatus {
  PAYLOAD_OK,
  PAYLOAD_BAD_HEADER,  // missing, shorter than the header, or not "VUQ"
  PAYLOAD_CORRUPT,     // the decoder failed, or no more output can come
};

// True when the resource bytes begin with "VUQ": the one test of the header.
bool payload_header_present(const uint8_t* data, uint64_t size);

// Tests the header and moves resource_data past it. Allocates nothing.
PayloadStatus payload_stream_accept_header(PayloadStream* stream);

// Attaches the output buffer (PAYLOAD_OUTPUT_BUFFER_SIZE bytes) and a fresh
// decoder; the first read starts with a decoder call.
void payload_stream_start(PayloadStream* stream, uint8_t* output_buffer, ZSTD_DCtx* decoder);

// Copies exactly count decoded bytes to destination, or fails.
PayloadStatus payload_stream_read(PayloadStream* stream, void* destination, uint64_t count);

// Takes the frame to its end with the input that is left, so that its
// checksum is tested: OK once the decoder reports the frame complete, CORRUPT
// when it reports an error or the input runs out first. Decoded bytes not yet
// read are dropped; whatever follows the frame in the resource is not read.
PayloadStatus payload_stream_finish(PayloadStream* stream);
