// Property: the settings record reader accepts exactly the records an
// independent model of the layout accepts (versions 1 to 3, the cache
// section of version 2 on with its rules, the progress flags of version 3), never reads outside the record
// (handed over in a buffer of its own size), finds the cache section's texts
// where the model does, and for an accepted record its expansion, written
// back with the placeholders re-escaped, gives the record's argument bytes
// again: nothing is lost, added or reordered.
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

std::u16string upper(std::u16string text) {
  for (char16_t& unit : text) unit = unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit;
  return text;
}

// A folder name Windows keeps as written and never takes for a device.
bool model_folder_name_ok(const std::u16string& name) {
  if (name.empty() || name.size() > 100 || name.back() == u' ' || name.back() == u'.') return false;
  for (char16_t unit : name) {
    if (unit < 0x20 || unit == 0x7F || std::u16string(u"\\/:*?\"<>|").find(unit) != std::u16string::npos) return false;
  }
  // A device is named by the part before the first dot, blanks before it dropped.
  std::u16string base = upper(name.substr(0, name.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (base == device) return false;
  }
  const bool port = base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0);
  return !(port && ((base[3] >= u'1' && base[3] <= u'9') || base[3] == u'\u00B9' || base[3] == u'\u00B2' ||
                    base[3] == u'\u00B3'));
}

// Every "{" closed before the next "{", and no reference that changes every run.
bool model_root_ok(const std::u16string& root) {
  if (root.size() > 1024) return false;
  for (size_t open = root.find(u'{'); open != std::u16string::npos; open = root.find(u'{', open + 1)) {
    const size_t close = root.find_first_of(u"{}", open + 1);
    if (close == std::u16string::npos || root[close] == u'{') return false;
    const std::u16string name = upper(root.substr(open + 1, close - open - 1));
    if (name == u"PID" || name == u"TIME") return false;
  }
  return true;
}

// The record's texts, each ended by a zero unit; *ended is false when units follow the last end.
std::vector<std::u16string> model_texts(const uint8_t* units_le, size_t units, bool* ended) {
  std::vector<std::u16string> texts;
  std::u16string current;
  *ended = true;
  for (size_t i = 0; i < units; ++i) {
    const char16_t unit = static_cast<char16_t>(unit_at(units_le, i));
    *ended = unit == 0;
    if (*ended) {
      texts.push_back(current);
      current.clear();
    } else {
      current += unit;
    }
  }
  return texts;
}

struct ModelRecord {
  size_t section_units = 0;  // the cache section's, ends included
  std::u16string application, bundle_id, root;
};

bool model_accepts(const uint8_t* data, size_t size, ModelRecord* model) {
  if (size < 12 || data[0] != 'V' || data[1] != 'L' || data[2] != 'S' || data[3] < 1 || data[3] > 3) return false;
  if (size > LAUNCH_SETTINGS_MAX_SIZE) return false;
  const uint32_t flags = data[4] | (data[5] << 8) | (data[6] << 16) | (static_cast<uint32_t>(data[7]) << 24);
  const uint32_t most = data[3] == 1 ? 3 : data[3] == 2 ? 7 : 31;
  if (flags > most) return false;
  const size_t count = data[8] | (data[9] << 8);
  if (data[10] != 0 || data[11] != 0 || count > 64 || (size - 12) % 2 != 0) return false;
  bool ended = false;
  std::vector<std::u16string> texts = model_texts(data + 12, (size - 12) / 2, &ended);
  if (flags & 4) {
    if (texts.size() < 3) return false;
    model->application = texts[0];
    model->bundle_id = texts[1];
    model->root = texts[2];
    model->section_units = texts[0].size() + texts[1].size() + texts[2].size() + 3;
    texts.erase(texts.begin(), texts.begin() + 3);
    if (!model_folder_name_ok(model->application) || !model_root_ok(model->root)) return false;
    if (model->bundle_id.size() != 16 ||
        model->bundle_id.find_first_not_of(u"0123456789abcdef") != std::u16string::npos)
      return false;
  }
  if (!ended || texts.size() != count) return false;
  for (const auto& argument : texts) {
    if (!model_braces_ok(argument)) return false;
  }
  return true;
}

bool same_text(const SettingsText& text, const std::u16string& expected) {
  if (text.count != expected.size()) return false;
  for (size_t i = 0; i < text.count; ++i) {
    if (unit_at(text.units_le, i) != expected[i]) return false;
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
  ModelRecord model;
  const SettingsStatus status = read_launch_settings(record.get(), size, &settings);
  FUZZ_CHECK((status == SETTINGS_OK) == model_accepts(data, size, &model));
  if (status != SETTINGS_OK) return 0;

  FUZZ_CHECK((settings.flags & ~LAUNCH_KNOWN_FLAGS) == 0);
  FUZZ_CHECK(same_text(settings.application, model.application) && same_text(settings.bundle_id, model.bundle_id) &&
             same_text(settings.cache_root, model.root));
  const size_t arguments_at = LAUNCH_SETTINGS_HEADER_SIZE + 2 * model.section_units;
  FUZZ_CHECK(settings.arguments == record.get() + arguments_at);
  FUZZ_CHECK(settings.arguments_size == size - arguments_at);
  std::vector<uint8_t> written;
  const SettingsSink sink = {&written, escape_unit, escape_contents, escape_end};
  expand_launch_arguments(&settings, &sink);
  FUZZ_CHECK(written == std::vector<uint8_t>(data + arguments_at, data + size));
  return 0;
}
