// The settings record's reader; see launch_settings.h. Its fields are read
// with the format header's little-endian helpers, at its named offsets.
#include "payload/launch_settings.h"

#include "payload/entry_name_rule.h"

namespace {

const uint16_t OPEN = '{';
const uint16_t CLOSE = '}';
const uint16_t CONTENTS_NAME[] = {'C', 'O', 'N', 'T', 'E', 'N', 'T', 'S'};
const size_t CONTENTS_NAME_LENGTH = sizeof CONTENTS_NAME / sizeof CONTENTS_NAME[0];

// Units a brace sequence at index takes, or 0 when none begins there.
size_t placeholder_length(const uint8_t* units_le, size_t count, size_t index) {
  uint16_t unit = launch_settings_unit(units_le, index);
  if (index + 1 < count && launch_settings_unit(units_le, index + 1) == unit) return 2;  // {{ or }}
  if (unit != OPEN || count - index < CONTENTS_NAME_LENGTH + 2) return 0;
  for (size_t i = 0; i < CONTENTS_NAME_LENGTH; ++i) {
    if (launch_settings_unit(units_le, index + 1 + i) != CONTENTS_NAME[i]) return 0;
  }
  return launch_settings_unit(units_le, index + 1 + CONTENTS_NAME_LENGTH) == CLOSE ? CONTENTS_NAME_LENGTH + 2 : 0;
}

// Reads one 0x0000-ended text at units_le[*at] of units; false when none ends
// before the end or it is longer than max_units.
bool take_text(const uint8_t* units_le, size_t units, size_t* at, size_t max_units, SettingsText* text) {
  size_t start = *at;
  while (*at < units && launch_settings_unit(units_le, *at) != 0) {
    if (*at - start >= max_units) return false;
    ++*at;
  }
  if (*at == units) return false;
  *text = SettingsText{units_le + 2 * start, *at - start};
  ++*at;
  return true;
}

bool is_lower_hex(uint16_t unit) { return (unit >= '0' && unit <= '9') || (unit >= 'a' && unit <= 'f'); }

// A text of the record as units of the host, for the checks shared with the
// build tool; count is at most LAUNCH_CACHE_ROOT_MAX_UNITS.
void copy_units(const SettingsText& text, char16_t* units) {
  for (size_t i = 0; i < text.count; ++i) units[i] = static_cast<char16_t>(launch_settings_unit(text.units_le, i));
}

bool reference_is(const char16_t* name, size_t length, const char* expected) {
  size_t i = 0;
  for (; i < length && expected[i] != '\0'; ++i) {
    char16_t unit = name[i] >= u'a' && name[i] <= u'z' ? static_cast<char16_t>(name[i] - 32) : name[i];
    if (unit != static_cast<char16_t>(expected[i])) return false;
  }
  return i == length && expected[i] == '\0';
}

// The cache section at units_le[*at]: the three texts and their rules.
bool take_cache_section(const uint8_t* units_le, size_t units, size_t* at, LaunchSettings* read) {
  if (!take_text(units_le, units, at, LAUNCH_APPLICATION_NAME_MAX_UNITS, &read->application) ||
      !take_text(units_le, units, at, LAUNCH_BUNDLE_ID_UNITS, &read->bundle_id) ||
      !take_text(units_le, units, at, LAUNCH_CACHE_ROOT_MAX_UNITS, &read->cache_root)) {
    return false;
  }
  if (read->bundle_id.count != LAUNCH_BUNDLE_ID_UNITS) return false;
  for (size_t i = 0; i < read->bundle_id.count; ++i) {
    if (!is_lower_hex(launch_settings_unit(read->bundle_id.units_le, i))) return false;
  }
  char16_t text[LAUNCH_CACHE_ROOT_MAX_UNITS];
  copy_units(read->application, text);
  if (!cache_application_name_ok(text, read->application.count)) return false;
  copy_units(read->cache_root, text);
  return cache_root_spec_ok(text, read->cache_root.count);
}

}  // namespace

bool cache_application_name_ok(const char16_t* name, size_t count) {
  if (count == 0 || count > LAUNCH_APPLICATION_NAME_MAX_UNITS) return false;
  for (size_t i = 0; i < count; ++i) {
    char16_t unit = name[i];
    if (unit < 0x20 || unit == 0x7F) return false;
    for (const char* bad = "\\/:*?\"<>|"; *bad != '\0'; ++bad) {
      if (unit == static_cast<char16_t>(*bad)) return false;
    }
  }
  // "." and ".." end with a dot as well.
  if (name[count - 1] == u' ' || name[count - 1] == u'.') return false;
  return device_name_length(name, count) == 0;
}

bool cache_root_spec_ok(const char16_t* spec, size_t count) {
  if (count > LAUNCH_CACHE_ROOT_MAX_UNITS) return false;
  for (size_t i = 0; i < count; ++i) {
    if (spec[i] == u'\0') return false;
    if (spec[i] != u'{') continue;
    size_t close = i + 1;
    while (close < count && spec[close] != u'}' && spec[close] != u'{') ++close;
    if (close == count || spec[close] != u'}') return false;
    const char16_t* name = spec + i + 1;
    size_t length = close - i - 1;
    if (reference_is(name, length, "PID") || reference_is(name, length, "TIME")) return false;
    i = close;
  }
  return true;
}

PlaceholderStatus check_placeholders(const uint8_t* units_le, size_t count, size_t* where) {
  for (size_t i = 0; i < count;) {
    uint16_t unit = launch_settings_unit(units_le, i);
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
  return data[LAUNCH_SETTINGS_VERSION_OFFSET];
}

SettingsStatus read_launch_settings(const uint8_t* record, size_t size, LaunchSettings* settings) {
  if (size < LAUNCH_SETTINGS_HEADER_SIZE) return SETTINGS_BAD_HEADER;
  for (size_t i = 0; i < sizeof LAUNCH_SETTINGS_MAGIC; ++i) {
    if (record[i] != LAUNCH_SETTINGS_MAGIC[i]) return SETTINGS_BAD_HEADER;
  }
  uint8_t version = record[LAUNCH_SETTINGS_VERSION_OFFSET];
  if (version < LAUNCH_SETTINGS_FIRST_VERSION || version > LAUNCH_SETTINGS_VERSION) return SETTINGS_NEWER_VERSION;
  if (size > LAUNCH_SETTINGS_MAX_SIZE) return SETTINGS_TOO_LARGE;
  uint32_t flags = launch_settings_u32(record + LAUNCH_SETTINGS_FLAGS_OFFSET);
  if ((flags & ~LAUNCH_KNOWN_FLAGS) != 0) return SETTINGS_UNKNOWN_FLAGS;
  if ((flags & LAUNCH_CACHED) != 0 && version < 2) return SETTINGS_BAD_CACHE;
  if ((flags & ~launch_known_flags(version)) != 0) return SETTINGS_UNKNOWN_FLAGS;
  size_t count = launch_settings_u16(record + LAUNCH_SETTINGS_COUNT_OFFSET);
  if (launch_settings_u16(record + LAUNCH_SETTINGS_RESERVED_OFFSET) != 0 || count > LAUNCH_SETTINGS_MAX_ARGUMENTS)
    return SETTINGS_BAD_LAYOUT;

  LaunchSettings read = {flags, count, nullptr, 0, {}, {}, {}};
  const uint8_t* body = record + LAUNCH_SETTINGS_HEADER_SIZE;
  size_t body_size = size - LAUNCH_SETTINGS_HEADER_SIZE;
  if (body_size % 2 != 0) return SETTINGS_BAD_LAYOUT;
  size_t section_end = 0;
  if ((flags & LAUNCH_CACHED) != 0 && !take_cache_section(body, body_size / 2, &section_end, &read)) {
    return SETTINGS_BAD_CACHE;
  }
  const uint8_t* arguments = body + 2 * section_end;
  size_t arguments_size = body_size - 2 * section_end;
  size_t units = arguments_size / 2;
  size_t start = 0;
  size_t found = 0;
  for (size_t i = 0; i < units; ++i) {
    if (launch_settings_unit(arguments, i) != 0) continue;
    if (found == count) return SETTINGS_BAD_LAYOUT;
    size_t where = 0;
    if (check_placeholders(arguments + 2 * start, i - start, &where) != PLACEHOLDER_OK) return SETTINGS_BAD_PLACEHOLDER;
    ++found;
    start = i + 1;
  }
  // Every unit belongs to an ended argument: nothing trails the last end.
  if (found != count || start != units) return SETTINGS_BAD_LAYOUT;
  read.arguments = arguments;
  read.arguments_size = arguments_size;
  *settings = read;
  return SETTINGS_OK;
}

void expand_launch_arguments(const LaunchSettings* settings, const SettingsSink* sink) {
  const uint8_t* units_le = settings->arguments;
  const size_t units = settings->arguments_size / 2;
  for (size_t i = 0; i < units;) {
    uint16_t unit = launch_settings_unit(units_le, i);
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
