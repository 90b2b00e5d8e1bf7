// The launcher's payload stream over its own resource; see payload_reader.h.
// Decodes straight out of the locked resource: the compressed bytes are never
// copied. The resource belongs to the module and is never released.
#include "payload/payload_reader.h"

#include <stdlib.h>
#include <windows.h>

#include "common/error_report.h"
#include "common/system_calls.h"
#include "payload/payload_format.h"

PayloadStream payload_stream;

namespace {

// Set once the header has passed: resource_data then points past it, where
// every (re)start of the decoder begins.
bool header_accepted;

}  // namespace

void load_payload_resource() {
  HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(PAYLOAD_RESOURCE_ID), MAKEINTRESOURCEA(PAYLOAD_RESOURCE_TYPE));
  if (resource == nullptr) return;
  HGLOBAL loaded = LoadResource(nullptr, resource);
  payload_stream.resource_data = static_cast<const uint8_t*>(LockResource(loaded));
  payload_stream.resource_size = SizeofResource(nullptr, resource);
}

void open_payload_stream() {
  if (payload_stream_accept_header(&payload_stream) != PAYLOAD_OK) {
    fatal_error("Error, couldn't find attached data header.");
  }
  header_accepted = true;
  auto* output_buffer = static_cast<uint8_t*>(system_calls.malloc(PAYLOAD_OUTPUT_BUFFER_SIZE));
  if (output_buffer == nullptr) fatal_error("Error, couldn't allocate memory.");
  ZSTD_DCtx* decoder = system_calls.ZSTD_createDCtx();
  if (decoder == nullptr) fatal_error("Error, couldn't allocate memory.");
  payload_stream_start(&payload_stream, output_buffer, decoder);
}

void read_payload_bytes(void* destination, uint64_t count) {
  if (payload_stream_read(&payload_stream, destination, count) != PAYLOAD_OK) {
    fatal_error("Error, couldn't decode attached data.");
  }
}

void finish_payload_stream() {
  if (payload_stream_finish(&payload_stream) != PAYLOAD_OK) fatal_error("Error, couldn't decode attached data.");
}

void close_payload_stream() {
  ZSTD_freeDCtx(payload_stream.decoder);
  payload_stream.decoder = nullptr;
  free(payload_stream.output.dst);
  payload_stream.output = {};
}

bool restart_payload_stream() {
  if (!header_accepted) return false;
  if (payload_stream.decoder == nullptr) {
    auto* output_buffer = static_cast<uint8_t*>(system_calls.malloc(PAYLOAD_OUTPUT_BUFFER_SIZE));
    ZSTD_DCtx* decoder = output_buffer == nullptr ? nullptr : system_calls.ZSTD_createDCtx();
    if (decoder == nullptr) {
      free(output_buffer);
      return false;
    }
    payload_stream_start(&payload_stream, output_buffer, decoder);
    return true;
  }
  if (ZSTD_isError(ZSTD_DCtx_reset(payload_stream.decoder, ZSTD_reset_session_only))) return false;
  payload_stream_start(&payload_stream, static_cast<uint8_t*>(payload_stream.output.dst), payload_stream.decoder);
  return true;
}
