// The payload's byte layout, shared by the launcher that reads it and the
// build tool that writes it, so that the two cannot drift apart.
// Plain constants only: no I/O and no platform headers.
//
// Resource RT_RCDATA (10), id 27, in the launcher's own module:
//
//   +-----+------------------------------------+- - - - - - - - -+
//   | VUQ | one Zstandard frame                | ignored bytes   |
//   +-----+------------------------------------+- - - - - - - - -+
//
// The frame's decompressed content is a flat list of entries, the first one
// the application DLL, ended by an empty name:
//
//   name: UTF-16LE units, ended by 0x0000 | size: u64 LE | size bytes of contents
//   ...
//   0x0000                                  (end marker: no size follows)
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint8_t PAYLOAD_HEADER[3] = {'V', 'U', 'Q'};
constexpr size_t PAYLOAD_HEADER_SIZE = sizeof PAYLOAD_HEADER;
constexpr uint16_t PAYLOAD_RESOURCE_TYPE = 10;  // RT_RCDATA
constexpr uint16_t PAYLOAD_RESOURCE_ID = 27;

// Largest window a payload frame may declare: the decoder's default limit.
constexpr int PAYLOAD_MAX_WINDOW_LOG = 27;

// An entry name holds at most 1023 UTF-16 units before its terminating unit.
constexpr size_t ENTRY_NAME_CAPACITY = 1024;
constexpr size_t ENTRY_SIZE_BYTES = 8;

// Decoded bytes are handed out of one buffer of this size.
constexpr size_t PAYLOAD_OUTPUT_BUFFER_SIZE = 131072;

// Entry contents are written in chunks of this size (the last one shorter).
constexpr size_t ENTRY_WRITE_CHUNK = 32768;
