// The pack-time settings record's byte layout, shared by the launcher that
// reads it and the build tool that writes it, so that the two cannot drift.
// Plain constants only: no I/O and no platform headers.
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
// The cache section is there only with the LAUNCH_CACHED flag (version 2):
// three UTF-16LE texts, each ended by 0x0000:
//   application  the cache's folder for this program: one plain file name
//   bundle id    LAUNCH_BUNDLE_ID_UNITS lower-case hex digits, a hash of the payload
//   root         the cache root as a directory spec, empty for LAUNCH_DEFAULT_CACHE_ROOT
//
// An argument may hold the placeholder {CONTENTS} (the extraction directory),
// and {{ and }} for literal braces; any other brace makes the record damaged.
// A reader refuses a version or a flag bit it does not know: an older launcher
// must never run a program whose settings it would silently miss. The build
// tool writes version 1 unless a choice needs version 2, so that programs
// without the cached mode still run on launchers that read only version 1.
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
constexpr uint8_t LAUNCH_SETTINGS_VERSION = 2;  // the highest this reader knows
constexpr uint8_t LAUNCH_SETTINGS_FIRST_VERSION = 1;

constexpr size_t LAUNCH_SETTINGS_HEADER_SIZE = 12;
constexpr size_t LAUNCH_SETTINGS_SUPPORT_SIZE = 4;  // magic and version
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
constexpr uint32_t LAUNCH_KNOWN_FLAGS = LAUNCH_EXACT_ARGUMENTS | LAUNCH_ERROR_DIALOG | LAUNCH_CACHED;

// The cache section's bounds. An application folder name is one component of
// a path that also holds the root and the bundle's files: short enough that
// it never decides whether a path fits.
constexpr size_t LAUNCH_APPLICATION_NAME_MAX_UNITS = 100;
constexpr size_t LAUNCH_BUNDLE_ID_UNITS = 16;
constexpr size_t LAUNCH_CACHE_ROOT_MAX_UNITS = 1024;
constexpr char16_t LAUNCH_DEFAULT_CACHE_ROOT[] = u"{CACHE_DIR}";
