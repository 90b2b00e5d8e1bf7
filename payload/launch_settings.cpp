// The settings record's reader; see launch_settings.h.
// Bytes are read one at a time, little-endian: the record sits at whatever
// alignment the resource has, and the host may be of either byte order.
#include "payload/launch_settings.h"

namespace {

const uint16_t OPEN = '{';
const uint16_t CLOSE = '}';
const uint16_t CONTENTS_NAME[] = {'C', 'O', 'N', 'T', 'E', 'N', 'T', 'S'};
const size_t CONTENTS_NAME_LENGTH = sizeof CONTENTS_NAME / sizeof CONTENTS_NAME[0];

uint16_t unit_at(const uint8_t* units_le, size_t index) {
  return static_cast<uint16_t>(units_le[2 * index] | (units_le[2 * index + 1] << 8));
}

uint32_t u32_at(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// Units a brace sequence at index takes, or 0 when none begins there.
size_t placeholder_length(const uint8_t* units_le, size_t count, size_t index) {
  uint16_t unit = unit_at(units_le, index);
  if (index + 1 < count && unit_at(units_le, index + 1) == unit) return 2;  // {{ or }}
  if (unit != OPEN || count - index < CONTENTS_NAME_LENGTH + 2) return 0;
  for (size_t i = 0; i < CONTENTS_NAME_LENGTH; ++i) {
    if (unit_at(units_le, index + 1 + i) != CONTENTS_NAME[i]) return 0;
  }
  return unit_at(units_le, index + 1 + CONTENTS_NAME_LENGTH) == CLOSE ? CONTENTS_NAME_LENGTH + 2 : 0;
}

}  // namespace

PlaceholderStatus check_placeholders(const uint8_t* units_le, size_t count, size_t* where) {
  for (size_t i = 0; i < count;) {
    uint16_t unit = unit_at(units_le, i);
    if (unit != OPEN && unit != CLOSE) {
      ++i;
      continue;
    }
    size_t length = placeholder_length(units_le, count, i);
    if (length == 0) {
      *where = i;
      return unit == OPEN ? PLACEHOLDER_UNKNOWN_NAME : PLACEHOLDER_LONE_CLOSE;
    }
    i += length;
  }
  return PLACEHOLDER_OK;
}

uint8_t launch_settings_supported_version(const uint8_t* data, size_t size) {
  if (size != LAUNCH_SETTINGS_SUPPORT_SIZE) return 0;
  for (size_t i = 0; i < sizeof LAUNCH_SETTINGS_MAGIC; ++i) {
    if (data[i] != LAUNCH_SETTINGS_MAGIC[i]) return 0;
  }
  return data[3];
}

SettingsStatus read_launch_settings(const uint8_t* record, size_t size, LaunchSettings* settings) {
  if (size < LAUNCH_SETTINGS_HEADER_SIZE) return SETTINGS_BAD_HEADER;
  for (size_t i = 0; i < sizeof LAUNCH_SETTINGS_MAGIC; ++i) {
    if (record[i] != LAUNCH_SETTINGS_MAGIC[i]) return SETTINGS_BAD_HEADER;
  }
  if (record[3] != LAUNCH_SETTINGS_VERSION) return SETTINGS_NEWER_VERSION;
  if (size > LAUNCH_SETTINGS_MAX_SIZE) return SETTINGS_TOO_LARGE;
  uint32_t flags = u32_at(record + 4);
  if ((flags & ~LAUNCH_KNOWN_FLAGS) != 0) return SETTINGS_UNKNOWN_FLAGS;
  size_t count = static_cast<size_t>(record[8] | (record[9] << 8));
  if (record[10] != 0 || record[11] != 0 || count > LAUNCH_SETTINGS_MAX_ARGUMENTS) return SETTINGS_BAD_LAYOUT;

  const uint8_t* arguments = record + LAUNCH_SETTINGS_HEADER_SIZE;
  size_t arguments_size = size - LAUNCH_SETTINGS_HEADER_SIZE;
  if (arguments_size % 2 != 0) return SETTINGS_BAD_LAYOUT;
  size_t units = arguments_size / 2;
  size_t start = 0;
  size_t found = 0;
  for (size_t i = 0; i < units; ++i) {
    if (unit_at(arguments, i) != 0) continue;
    if (found == count) return SETTINGS_BAD_LAYOUT;
    size_t where = 0;
    if (check_placeholders(arguments + 2 * start, i - start, &where) != PLACEHOLDER_OK) return SETTINGS_BAD_PLACEHOLDER;
    ++found;
    start = i + 1;
  }
  // Every unit belongs to an ended argument: nothing trails the last end.
  if (found != count || start != units) return SETTINGS_BAD_LAYOUT;
  *settings = LaunchSettings{flags, count, arguments, arguments_size};
  return SETTINGS_OK;
}

void expand_launch_arguments(const LaunchSettings* settings, const SettingsSink* sink) {
  const uint8_t* units_le = settings->arguments;
  const size_t units = settings->arguments_size / 2;
  for (size_t i = 0; i < units;) {
    uint16_t unit = unit_at(units_le, i);
    if (unit == 0) {
      sink->end(sink->context);
      ++i;
    } else if (unit == OPEN || unit == CLOSE) {
      size_t length = placeholder_length(units_le, units, i);
      if (length == 2) {
        sink->unit(sink->context, unit);
      } else {
        sink->contents(sink->context);
      }
      i += length;
    } else {
      sink->unit(sink->context, unit);
      ++i;
    }
  }
}
