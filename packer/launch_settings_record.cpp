// The settings record for the build tool; see launch_settings_record.h.
// Every record it writes is read back through the launcher's own reader
// (payload/launch_settings.h) before it is accepted, so the two agree.
#include "packer/launch_settings_record.h"

#include <string_view>

#include "common/launcher_names.h"
#include "packer/entry_names.h"
#include "packer/utf.h"
#include "payload/launch_settings.h"
#include "payload/launch_settings_format.h"

namespace vorbel::pack {
namespace {

void put_units_le(std::vector<uint8_t>& bytes, std::u16string_view units) {
  for (char16_t unit : units) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
}

// `version` is the record's version byte, for the refusal of one it does not know.
std::string settings_problem(SettingsStatus status, uint8_t version) {
  switch (status) {
    case SETTINGS_OK:
      return "";
    case SETTINGS_BAD_HEADER:
      return "it is shorter than its 12-byte header or does not begin with \"VLS\"";
    case SETTINGS_NEWER_VERSION:
      return "its version is " + std::to_string(version) + ", and this tool and its launcher read versions " +
             std::to_string(LAUNCH_SETTINGS_FIRST_VERSION) + " to " + std::to_string(LAUNCH_SETTINGS_VERSION);
    case SETTINGS_TOO_LARGE:
      return "it is larger than " + std::to_string(LAUNCH_SETTINGS_MAX_SIZE) + " bytes";
    case SETTINGS_UNKNOWN_FLAGS:
      return "it sets flags its version does not define";
    case SETTINGS_BAD_LAYOUT:
      return "its arguments do not match their count or do not end with the record";
    case SETTINGS_BAD_PLACEHOLDER:
      return "an argument holds a brace that is no placeholder";
    case SETTINGS_BAD_CACHE:
      return "its cache section is damaged, breaks the launcher's rules, or is set in a version 1 record";
  }
  return "unknown problem";
}

std::u16string text_of(const uint8_t* units_le, size_t count) {
  std::u16string units;
  for (size_t i = 0; i < count; ++i) units += static_cast<char16_t>(launch_settings_unit(units_le, i));
  return units;
}

std::u16string text_of(const SettingsText& text) { return text_of(text.units_le, text.count); }

// Writes `value` little-endian into `size` bytes at record[at].
void put_le(std::vector<uint8_t>& record, size_t at, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) record[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// "X:\..." or "\\server\share..." (or a device path), or a reference to a
// folder that is always absolute: as the launcher's names read them.
bool begins_absolute(const std::u16string& spec) {
  if (absolute_path_kind(spec.c_str()) != NOT_ABSOLUTE) return true;
  if (!spec.starts_with(u"{")) return false;
  const size_t close = spec.find(u'}');
  if (close == std::u16string::npos) return false;
  const SpecReference* reference = find_spec_reference(spec.data() + 1, close - 1);
  return reference != nullptr && reference->absolute;
}

}  // namespace

std::optional<std::string> application_folder_problem(const std::string& name) {
  auto units = utf8_to_utf16(name);
  if (!units) return "it is not valid UTF-8";
  if (cache_application_name_ok(units->data(), units->size())) return std::nullopt;
  if (units->empty()) return "it is empty";
  if (units->size() > LAUNCH_APPLICATION_NAME_MAX_UNITS) {
    return "it is " + std::to_string(units->size()) + " UTF-16 units long, more than the " +
           std::to_string(LAUNCH_APPLICATION_NAME_MAX_UNITS) + " the launcher takes";
  }
  for (char16_t unit : *units) {
    if (unit < 0x20 || unit == 0x7F) return "it holds a control character";
    if (std::u16string_view(u"\\/:*?\"<>|").find(unit) != std::u16string_view::npos)
      return "it holds '" + std::string(1, static_cast<char>(unit)) + "', which Windows does not allow in a name";
  }
  if (units->back() == u' ' || units->back() == u'.') return "it ends with a blank or a dot, which Windows drops";
  if (auto device = device_name_in(*units)) return "'" + printable(*device) + "' is a device name on Windows";
  return "the launcher refuses it";
}

std::optional<std::string> cache_root_problem(const std::string& spec) {
  const std::string quoted = "--cache-dir '" + printable(spec) + "': ";
  auto units = utf8_to_utf16(spec);
  if (!units) return quoted + "it is not valid UTF-8";
  if (units->empty()) return std::nullopt;  // the default root
  if (units->find(u'\0') != std::u16string::npos) return quoted + "it holds a NUL character";
  if (units->size() > LAUNCH_CACHE_ROOT_MAX_UNITS) {
    return quoted + "it is " + std::to_string(units->size()) + " UTF-16 units long, more than the " +
           std::to_string(LAUNCH_CACHE_ROOT_MAX_UNITS) + " the launcher takes";
  }
  for (size_t open = units->find(u'{'); open != std::u16string::npos; open = units->find(u'{', open + 1)) {
    const size_t close = units->find_first_of(u"{}", open + 1);
    if (close == std::u16string::npos || (*units)[close] != u'}') {
      return quoted + "the '{' at character " + std::to_string(open + 1) +
             " is not closed by a '}' before the next '{' or the end";
    }
    const std::u16string_view name = std::u16string_view(*units).substr(open, close - open + 1);
    const SpecReference* reference = find_spec_reference(name.data() + 1, name.size() - 2);
    if (reference != nullptr && (reference->id == SPEC_PID || reference->id == SPEC_TIME)) {
      return quoted + printable(name) +
             " would make a new root for every run, so no run would find what an earlier one extracted";
    }
    if (reference == nullptr) {
      return quoted + printable(name) +
             " is no name the launcher knows: TEMP, PROGRAM, PROGRAM_BASE, PROGRAM_DIR, HOME, CACHE_DIR, PRODUCT "
             "or VERSION";
    }
    open = close;
  }
  if (!begins_absolute(*units)) {
    return quoted +
           "it is not an absolute path: begin it with {CACHE_DIR}, {HOME}, {TEMP}, {PROGRAM_DIR}, a drive (C:\\) "
           "or \\\\server\\share";
  }
  if (!cache_root_spec_ok(units->data(), units->size())) return quoted + "the launcher refuses it";
  return std::nullopt;
}

std::string bundle_id_of(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string id;
  for (size_t i = 0; i < LAUNCH_BUNDLE_ID_UNITS / 2; ++i) {
    id += kDigits[digest[i] >> 4];
    id += kDigits[digest[i] & 15];
  }
  return id;
}

std::optional<std::string> built_in_argument_problem(const std::string& argument) {
  auto units = utf8_to_utf16(argument);
  if (!units) return "--arg '" + printable(argument) + "' is not valid UTF-8";
  if (units->find(u'\0') != std::u16string::npos) return "--arg '" + printable(argument) + "' holds a NUL character";
  std::vector<uint8_t> bytes;
  put_units_le(bytes, *units);
  size_t where = 0;
  switch (check_placeholders(bytes.data(), units->size(), &where)) {
    case PLACEHOLDER_OK:
      return std::nullopt;
    case PLACEHOLDER_UNKNOWN_NAME:
      return "--arg '" + printable(argument) + "': the '{' at character " + std::to_string(where + 1) +
             " begins no placeholder: {CONTENTS} is the only one; write {{ for a literal '{'";
    case PLACEHOLDER_LONE_CLOSE:
      return "--arg '" + printable(argument) + "': the '}' at character " + std::to_string(where + 1) +
             " closes no placeholder; write }} for a literal '}'";
  }
  return "--arg '" + printable(argument) + "' cannot be stored";
}

Result<std::vector<uint8_t>> make_settings_record(const SettingsChoices& choices) {
  if (choices.arguments.size() > LAUNCH_SETTINGS_MAX_ARGUMENTS) {
    return Failure{"", std::to_string(choices.arguments.size()) + " built-in arguments (--arg) are more than the " +
                           std::to_string(LAUNCH_SETTINGS_MAX_ARGUMENTS) + " the launcher takes"};
  }
  uint32_t flags = (choices.exact_arguments ? LAUNCH_EXACT_ARGUMENTS : 0) |
                   (choices.error_dialog ? LAUNCH_ERROR_DIALOG : 0) | (choices.cache ? LAUNCH_CACHED : 0) |
                   (choices.progress_window ? LAUNCH_PROGRESS_WINDOW : 0) |
                   (choices.progress_line ? LAUNCH_PROGRESS_LINE : 0);
  std::vector<uint8_t> record(LAUNCH_SETTINGS_HEADER_SIZE, 0);  // the reserved field stays 0
  std::copy(LAUNCH_SETTINGS_MAGIC, LAUNCH_SETTINGS_MAGIC + sizeof LAUNCH_SETTINGS_MAGIC, record.begin());
  record[LAUNCH_SETTINGS_VERSION_OFFSET] = choices.version();
  put_le(record, LAUNCH_SETTINGS_FLAGS_OFFSET, flags, 4);
  put_le(record, LAUNCH_SETTINGS_COUNT_OFFSET, static_cast<uint32_t>(choices.arguments.size()), 2);
  if (choices.cache) {
    const CacheChoices& cache = *choices.cache;
    if (auto problem = application_folder_problem(cache.application)) {
      return Failure{"", "the application folder name '" + printable(cache.application) +
                             "' cannot be a folder name: " + *problem};
    }
    if (auto problem = cache_root_problem(cache.root)) return Failure{"", *problem};
    // The bundle id is the tool's own making; the read-back below checks it.
    for (const std::string* text : {&cache.application, &cache.bundle_id, &cache.root}) {
      put_units_le(record, utf8_to_utf16(*text).value_or(u""));
      put_units_le(record, std::u16string(1, u'\0'));
    }
  }
  const size_t section_size = record.size() - LAUNCH_SETTINGS_HEADER_SIZE;
  for (const std::string& argument : choices.arguments) {
    if (auto problem = built_in_argument_problem(argument)) return Failure{"", *problem};
    put_units_le(record, *utf8_to_utf16(argument));
    put_units_le(record, std::u16string(1, u'\0'));
  }
  if (record.size() > LAUNCH_SETTINGS_MAX_SIZE) {
    const size_t room = LAUNCH_SETTINGS_MAX_SIZE - LAUNCH_SETTINGS_HEADER_SIZE - section_size;
    return Failure{"", "the built-in arguments (--arg) take " +
                           std::to_string(record.size() - LAUNCH_SETTINGS_HEADER_SIZE - section_size) +
                           " bytes as UTF-16, more than the " + std::to_string(room) + " the launcher takes" +
                           (section_size == 0 ? "" : " beside the cache section")};
  }
  LaunchSettings read_back;
  if (SettingsStatus status = read_launch_settings(record.data(), record.size(), &read_back); status != SETTINGS_OK)
    return Failure{"", "made a settings record the launcher would refuse: " +
                           settings_problem(status, record[LAUNCH_SETTINGS_VERSION_OFFSET])};
  return record;
}

uint8_t settings_version_read_by(const pe::ResourceTree& launcher) {
  const pe::ResourceData* marker =
      pe::find_resource(launcher, LAUNCH_SETTINGS_RESOURCE_TYPE, LAUNCH_SETTINGS_SUPPORT_RESOURCE_ID);
  if (marker == nullptr) return 0;
  return launch_settings_supported_version(marker->bytes.data(), marker->bytes.size());
}

Result<std::vector<std::string>> describe_settings(std::span<const uint8_t> record) {
  LaunchSettings settings;
  if (SettingsStatus status = read_launch_settings(record.data(), record.size(), &settings); status != SETTINGS_OK) {
    return Failure{"", "settings record (RT_RCDATA 28) cannot be read: " +
                           settings_problem(status, record.size() > LAUNCH_SETTINGS_VERSION_OFFSET
                                                        ? record[LAUNCH_SETTINGS_VERSION_OFFSET]
                                                        : 0)};
  }
  std::string summary = "settings: version " + std::to_string(record[LAUNCH_SETTINGS_VERSION_OFFSET]);
  summary += (settings.flags & LAUNCH_EXACT_ARGUMENTS) ? ", exact arguments" : "";
  summary += (settings.flags & LAUNCH_ERROR_DIALOG) ? ", error dialog" : "";
  summary += (settings.flags & LAUNCH_PROGRESS_WINDOW) ? ", progress window" : "";
  summary += (settings.flags & LAUNCH_PROGRESS_LINE) ? ", progress line" : "";
  summary +=
      ", " + std::to_string(settings.argument_count) + " built-in argument" + (settings.argument_count == 1 ? "" : "s");
  std::vector<std::string> lines = {summary};
  if (settings.flags & LAUNCH_CACHED) {
    const std::u16string root = text_of(settings.cache_root);
    lines.push_back("cache: application '" + printable(text_of(settings.application)) + "', bundle " +
                    printable(text_of(settings.bundle_id)) + ", root " +
                    printable(root.empty() ? std::u16string(LAUNCH_DEFAULT_CACHE_ROOT) : root));
  }
  // The reader has checked that every argument ends with a 0 unit.
  const std::u16string arguments = text_of(settings.arguments, settings.arguments_size / 2);
  for (size_t start = 0, end; (end = arguments.find(u'\0', start)) != std::u16string::npos; start = end + 1)
    lines.push_back("argument: " + printable(std::u16string_view(arguments).substr(start, end - start)));
  return lines;
}

std::optional<CacheChoices> cache_choices_in(std::span<const uint8_t> record) {
  LaunchSettings settings;
  if (read_launch_settings(record.data(), record.size(), &settings) != SETTINGS_OK) return std::nullopt;
  if ((settings.flags & LAUNCH_CACHED) == 0) return std::nullopt;
  // The reader has checked the application name and the root as the launcher
  // takes them; text that is no Unicode would have failed there.
  return CacheChoices{utf16_to_utf8(text_of(settings.application)).value_or(""), printable(text_of(settings.bundle_id)),
                      utf16_to_utf8(text_of(settings.cache_root)).value_or("")};
}

std::optional<std::string> bundle_id_in(std::span<const uint8_t> record) {
  auto cache = cache_choices_in(record);
  if (!cache) return std::nullopt;
  return cache->bundle_id;
}

}  // namespace vorbel::pack
