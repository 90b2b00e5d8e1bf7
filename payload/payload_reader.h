// The launcher's one payload stream, read out of its own RT_RCDATA 27
// resource. Every failure ends the process with the launcher's message and
// status 2; callers never see one.
#pragma once

#include <stdint.h>

#include "payload/payload_stream.h"

extern PayloadStream payload_stream;

// Finds and locks the resource; a missing one leaves the stream empty, which
// open_payload_stream then rejects.
void load_payload_resource();

// Header test, then output buffer and decoder.
void open_payload_stream();

// Exactly count decoded bytes into destination.
void read_payload_bytes(void* destination, uint64_t count);

// Takes the frame to its end after the end marker, so that a cut or damaged
// checksum stops the run before anything is started from the files.
void finish_payload_stream();

// Releases the decoder, then the output buffer.
void close_payload_stream();

// Back to the first entry, for another walk of the names after a failure: a
// stream closed after its unpack is opened again. False when it was never
// opened or the memory for it cannot be had; never ends the process.
bool restart_payload_stream();
