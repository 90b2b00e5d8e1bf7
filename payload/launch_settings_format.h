// The pack-time settings record's byte layout, shared by the launcher that
// reads it and the build tool that writes it, so that the two cannot drift.
// Plain constants and the one way its little-endian fields are read: no I/O
// and no platform headers.
//
// Resource RT_RCDATA (10), id 28, in the packed program; optional: an image
// without it runs with every setting off and no built-in arguments.
//
//    0     3         4          8          10         12
//   +-----+---------+----------+----------+----------+------------------+--------------------------+
//   | VLS | version | flags    | count    | reserved | cache section    | count arguments: UTF-16LE |
//   |     | u8      | u32 LE   | u16 LE   | u16 = 0  | (LAUNCH_CACHED)  | units, each ended by 0x0000 |
//   +-----+---------+----------+----------+----------+------------------+--------------------------+
//                                                                the record ends with the last 0x0000
//
// The cache section is there only with the LAUNCH_CACHED flag (version 2 on):
// three UTF-16LE texts, each ended by 0x0000:
//   application  the cache's folder for this program: one plain file name
//   bundle id    LAUNCH_BUNDLE_ID_UNITS lower-case hex digits, a hash of the payload
//   root         the cache root as a directory spec, empty for LAUNCH_DEFAULT_CACHE_ROOT
//
// An argument may hold the placeholder {CONTENTS} (the extraction directory),
// and {{ and }} for literal braces; any other brace makes the record damaged.
// A reader refuses a version or a flag bit it does not know, and a flag set in
// a version before the one that defines it: an older launcher must never run
// a program whose settings it would silently miss. The build tool writes the
// lowest version its choices need (1, 2 for the cached mode, 3 for progress),
// so that programs without the newer choices still run on older launchers.
//
// The bare launcher carries RT_RCDATA 29, "VLS" and the highest version it
// reads, so that the build tool can tell a launcher that reads this record
// from one built before it.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint8_t LAUNCH_SETTINGS_MAGIC[3] = {'V', 'L', 'S'};
constexpr uint16_t LAUNCH_SETTINGS_RESOURCE_TYPE = 10;  // RT_RCDATA
constexpr uint16_t LAUNCH_SETTINGS_RESOURCE_ID = 28;
constexpr uint16_t LAUNCH_SETTINGS_SUPPORT_RESOURCE_ID = 29;
constexpr uint8_t LAUNCH_SETTINGS_VERSION = 3;  // the highest this reader knows
constexpr uint8_t LAUNCH_SETTINGS_FIRST_VERSION = 1;

// Where the header's fields begin (the diagram above); the bare launcher's
// marker is the magic and the version byte alone.
constexpr size_t LAUNCH_SETTINGS_VERSION_OFFSET = 3;    // u8
constexpr size_t LAUNCH_SETTINGS_FLAGS_OFFSET = 4;      // u32 LE
constexpr size_t LAUNCH_SETTINGS_COUNT_OFFSET = 8;      // u16 LE, the number of arguments
constexpr size_t LAUNCH_SETTINGS_RESERVED_OFFSET = 10;  // u16, always 0
constexpr size_t LAUNCH_SETTINGS_HEADER_SIZE = 12;
constexpr size_t LAUNCH_SETTINGS_SUPPORT_SIZE = 4;
static_assert(LAUNCH_SETTINGS_VERSION_OFFSET == sizeof LAUNCH_SETTINGS_MAGIC, "the version follows the magic");
static_assert(LAUNCH_SETTINGS_FLAGS_OFFSET == LAUNCH_SETTINGS_VERSION_OFFSET + 1, "the fields follow each other");
static_assert(LAUNCH_SETTINGS_COUNT_OFFSET == LAUNCH_SETTINGS_FLAGS_OFFSET + 4, "the fields follow each other");
static_assert(LAUNCH_SETTINGS_RESERVED_OFFSET == LAUNCH_SETTINGS_COUNT_OFFSET + 2, "the fields follow each other");
static_assert(LAUNCH_SETTINGS_HEADER_SIZE == LAUNCH_SETTINGS_RESERVED_OFFSET + 2, "the texts follow the header");
static_assert(LAUNCH_SETTINGS_SUPPORT_SIZE == LAUNCH_SETTINGS_VERSION_OFFSET + 1, "the marker ends with the version");
// Bounds the launcher's buffers: the arguments' units with their ends fit a
// command line (32768 units) with room to spare for {CONTENTS}.
constexpr size_t LAUNCH_SETTINGS_MAX_SIZE = 16384;
constexpr size_t LAUNCH_SETTINGS_MAX_ARGUMENTS = 64;

// The user's arguments reach run_code as the command line splits them:
// empty ones kept, no wildcard expanded.
constexpr uint32_t LAUNCH_EXACT_ARGUMENTS = 1u << 0;
// Errors are shown in a message box too (on an interactive window station).
constexpr uint32_t LAUNCH_ERROR_DIALOG = 1u << 1;
// Extract once into a kept, per-user bundle directory and run from it in the
// launcher's own process; the cache section says where. Version 2 on.
constexpr uint32_t LAUNCH_CACHED = 1u << 2;
// A long unpack shows its progress: a small window (GUI programs) or a line
// rewritten on a console's standard error (console programs). Version 3 on.
constexpr uint32_t LAUNCH_PROGRESS_WINDOW = 1u << 3;
constexpr uint32_t LAUNCH_PROGRESS_LINE = 1u << 4;
constexpr uint32_t LAUNCH_KNOWN_FLAGS =
    LAUNCH_EXACT_ARGUMENTS | LAUNCH_ERROR_DIALOG | LAUNCH_CACHED | LAUNCH_PROGRESS_WINDOW | LAUNCH_PROGRESS_LINE;
// The flags a record of `version` may set: each version adds its own.
constexpr uint32_t launch_known_flags(uint8_t version) {
  return version >= 3   ? LAUNCH_KNOWN_FLAGS
         : version == 2 ? LAUNCH_EXACT_ARGUMENTS | LAUNCH_ERROR_DIALOG | LAUNCH_CACHED
                        : LAUNCH_EXACT_ARGUMENTS | LAUNCH_ERROR_DIALOG;
}

// The cache section's bounds. An application folder name is one component of
// a path that also holds the root and the bundle's files: short enough that
// it never decides whether a path fits.
constexpr size_t LAUNCH_APPLICATION_NAME_MAX_UNITS = 100;
constexpr size_t LAUNCH_BUNDLE_ID_UNITS = 16;
constexpr size_t LAUNCH_CACHE_ROOT_MAX_UNITS = 1024;
constexpr char16_t LAUNCH_DEFAULT_CACHE_ROOT[] = u"{CACHE_DIR}";

// The record's little-endian values, read a byte at a time: the resource
// lies at whatever alignment it has, and the host may be of either byte order.
inline uint16_t launch_settings_u16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }
inline uint32_t launch_settings_u32(const uint8_t* bytes) {
  return launch_settings_u16(bytes) | (static_cast<uint32_t>(launch_settings_u16(bytes + 2)) << 16);
}
// Unit `index` of UTF-16LE text at units_le.
inline uint16_t launch_settings_unit(const uint8_t* units_le, size_t index) {
  return launch_settings_u16(units_le + 2 * index);
}
