// Property: the settings record reader accepts exactly the records an
// independent model of the layout accepts, never reads outside the record
// (handed over in a buffer of its own size), and for an accepted record its
// expansion, written back with the placeholders re-escaped, gives the
// record's argument bytes again: nothing is lost, added or reordered.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "payload/launch_settings.h"

namespace {

uint16_t unit_at(const uint8_t* bytes, size_t index) {
  return static_cast<uint16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

// An argument's braces: "{{", "}}" and "{CONTENTS}", read greedily from the left.
bool model_braces_ok(const std::u16string& argument) {
  for (size_t i = 0; i < argument.size();) {
    if (argument.compare(i, 2, u"{{") == 0 || argument.compare(i, 2, u"}}") == 0) {
      i += 2;
    } else if (argument.compare(i, 10, u"{CONTENTS}") == 0) {
      i += 10;
    } else if (argument[i] == u'{' || argument[i] == u'}') {
      return false;
    } else {
      ++i;
    }
  }
  return true;
}

bool model_accepts(const uint8_t* data, size_t size) {
  if (size < 12 || data[0] != 'V' || data[1] != 'L' || data[2] != 'S' || data[3] != 1) return false;
  if (size > LAUNCH_SETTINGS_MAX_SIZE) return false;
  const uint32_t flags = data[4] | (data[5] << 8) | (data[6] << 16) | (static_cast<uint32_t>(data[7]) << 24);
  if (flags > 3) return false;
  const size_t count = data[8] | (data[9] << 8);
  if (data[10] != 0 || data[11] != 0 || count > 64 || (size - 12) % 2 != 0) return false;
  std::vector<std::u16string> arguments;
  std::u16string current;
  bool open = false;
  for (size_t i = 0; i < (size - 12) / 2; ++i) {
    const char16_t unit = static_cast<char16_t>(unit_at(data + 12, i));
    open = unit != 0;
    if (open) {
      current += unit;
    } else {
      arguments.push_back(current);
      current.clear();
    }
  }
  if (open || arguments.size() != count) return false;
  for (const auto& argument : arguments) {
    if (!model_braces_ok(argument)) return false;
  }
  return true;
}

// The expansion written back as a record's argument units would be.
void put(std::vector<uint8_t>* out, char16_t unit) {
  out->push_back(static_cast<uint8_t>(unit & 0xFF));
  out->push_back(static_cast<uint8_t>(unit >> 8));
}
void escape_unit(void* context, uint16_t unit) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  put(out, unit);
  if (unit == u'{' || unit == u'}') put(out, unit);
}
void escape_contents(void* context) {
  for (char16_t unit : std::u16string(u"{CONTENTS}")) put(static_cast<std::vector<uint8_t>*>(context), unit);
}
void escape_end(void* context) { put(static_cast<std::vector<uint8_t>*>(context), 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> record(new uint8_t[size == 0 ? 1 : size]);
  std::copy(data, data + size, record.get());

  LaunchSettings settings = {};
  const SettingsStatus status = read_launch_settings(record.get(), size, &settings);
  FUZZ_CHECK((status == SETTINGS_OK) == model_accepts(data, size));
  if (status != SETTINGS_OK) return 0;

  FUZZ_CHECK((settings.flags & ~LAUNCH_KNOWN_FLAGS) == 0);
  FUZZ_CHECK(settings.arguments == record.get() + LAUNCH_SETTINGS_HEADER_SIZE);
  FUZZ_CHECK(settings.arguments_size == size - LAUNCH_SETTINGS_HEADER_SIZE);
  std::vector<uint8_t> written;
  const SettingsSink sink = {&written, escape_unit, escape_contents, escape_end};
  expand_launch_arguments(&settings, &sink);
  FUZZ_CHECK(written == std::vector<uint8_t>(data + LAUNCH_SETTINGS_HEADER_SIZE, data + size));
  return 0;
}
