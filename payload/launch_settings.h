// Reading the pack-time settings record (payload/launch_settings_format.h):
// the one check of it, shared by the launcher, the build tool's list and
// verify, and the fuzz target. Portable and heap-free: no platform header.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "payload/launch_settings_format.h"

enum SettingsStatus {
  SETTINGS_OK,
  SETTINGS_BAD_HEADER,       // shorter than the header, or another magic
  SETTINGS_NEWER_VERSION,    // a version this reader does not know
  SETTINGS_TOO_LARGE,        // more than LAUNCH_SETTINGS_MAX_SIZE bytes
  SETTINGS_UNKNOWN_FLAGS,    // a flag bit this version does not define (a later version's included)
  SETTINGS_BAD_LAYOUT,       // reserved field set, too many arguments, or the arguments do not end with the record
  SETTINGS_BAD_PLACEHOLDER,  // a brace that is neither {CONTENTS}, {{ nor }}
  SETTINGS_BAD_CACHE,        // the cache flag in version 1, or a cache section that breaks its rules
};

// One text of the record: count UTF-16LE units at units_le, no terminator.
struct SettingsText {
  const uint8_t* units_le;
  size_t count;
};

// The record's fields; arguments points into the record's own bytes.
struct LaunchSettings {
  uint32_t flags;
  size_t argument_count;
  const uint8_t* arguments;  // argument_count arguments, UTF-16LE, each ended by 0x0000
  size_t arguments_size;     // bytes
  // With LAUNCH_CACHED only (all empty otherwise):
  SettingsText application;  // a plain file name, checked by cache_application_name_ok
  SettingsText bundle_id;    // LAUNCH_BUNDLE_ID_UNITS lower-case hex digits
  SettingsText cache_root;   // a directory spec without {PID} or {TIME}; empty for the default
};

// Whether name (count units) may be the application's cache folder: 1 to
// LAUNCH_APPLICATION_NAME_MAX_UNITS units, none of them a control character or
// one of \ / : * ? " < > |, not ending with a blank or a dot (Windows drops
// those), not "." or "..", and no device name.
bool cache_application_name_ok(const char16_t* name, size_t count);

// Whether a cache root spec (count units) is one the record may carry: at
// most LAUNCH_CACHE_ROOT_MAX_UNITS units, every "{" closed by a "}" before
// the next "{", and no {PID} or {TIME} (letter case ignored), which would
// make a new root for every run.
bool cache_root_spec_ok(const char16_t* spec, size_t count);

// Checks every byte of the record; *settings is filled only on SETTINGS_OK.
SettingsStatus read_launch_settings(const uint8_t* record, size_t size, LaunchSettings* settings);

// Whether (data, size) is the bare launcher's marker resource and the
// record version it names (0 when it is none).
uint8_t launch_settings_supported_version(const uint8_t* data, size_t size);

enum PlaceholderStatus {
  PLACEHOLDER_OK,
  PLACEHOLDER_UNKNOWN_NAME,  // "{" that begins neither "{{" nor "{CONTENTS}"
  PLACEHOLDER_LONE_CLOSE,    // "}" that is not part of "}}" or a placeholder
};

// The first problem of one argument: count UTF-16LE units at units_le, no
// terminator needed; *where is the index of the unit where it starts.
PlaceholderStatus check_placeholders(const uint8_t* units_le, size_t count, size_t* where);

// Where an expansion goes: literal units, the placeholder, argument ends.
struct SettingsSink {
  void* context;
  void (*unit)(void* context, uint16_t unit);
  void (*contents)(void* context);  // {CONTENTS}
  void (*end)(void* context);
};

// Hands every argument of a record that read_launch_settings accepted to
// sink, braces resolved.
void expand_launch_arguments(const LaunchSettings* settings, const SettingsSink* sink);
