// The settings record for the build tool; see launch_settings_record.h.
// Every record it writes is read back through the launcher's own reader
// (payload/launch_settings.h) before it is accepted, so the two agree.
#include "packer/launch_settings_record.h"

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

std::string settings_problem(SettingsStatus status) {
  switch (status) {
    case SETTINGS_OK:
      return "";
    case SETTINGS_BAD_HEADER:
      return "it is shorter than its 12-byte header or does not begin with \"VLS\"";
    case SETTINGS_NEWER_VERSION:
      return "its version is not 1, the one this tool and its launcher read";
    case SETTINGS_TOO_LARGE:
      return "it is larger than " + std::to_string(LAUNCH_SETTINGS_MAX_SIZE) + " bytes";
    case SETTINGS_UNKNOWN_FLAGS:
      return "it sets flags this version does not define";
    case SETTINGS_BAD_LAYOUT:
      return "its arguments do not match their count or do not end with the record";
    case SETTINGS_BAD_PLACEHOLDER:
      return "an argument holds a brace that is no placeholder";
  }
  return "unknown problem";
}

}  // namespace

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
  uint32_t flags =
      (choices.exact_arguments ? LAUNCH_EXACT_ARGUMENTS : 0) | (choices.error_dialog ? LAUNCH_ERROR_DIALOG : 0);
  std::vector<uint8_t> record(LAUNCH_SETTINGS_MAGIC, LAUNCH_SETTINGS_MAGIC + sizeof LAUNCH_SETTINGS_MAGIC);
  record.push_back(LAUNCH_SETTINGS_VERSION);
  for (int shift = 0; shift < 32; shift += 8) record.push_back(static_cast<uint8_t>(flags >> shift));
  record.push_back(static_cast<uint8_t>(choices.arguments.size() & 0xFF));
  record.push_back(static_cast<uint8_t>(choices.arguments.size() >> 8));
  record.push_back(0);
  record.push_back(0);
  for (const std::string& argument : choices.arguments) {
    if (auto problem = built_in_argument_problem(argument)) return Failure{"", *problem};
    put_units_le(record, *utf8_to_utf16(argument));
    put_units_le(record, std::u16string(1, u'\0'));
  }
  if (record.size() > LAUNCH_SETTINGS_MAX_SIZE) {
    return Failure{
        "", "the built-in arguments (--arg) take " + std::to_string(record.size() - LAUNCH_SETTINGS_HEADER_SIZE) +
                " bytes as UTF-16, more than the " +
                std::to_string(LAUNCH_SETTINGS_MAX_SIZE - LAUNCH_SETTINGS_HEADER_SIZE) + " the launcher takes"};
  }
  LaunchSettings read_back;
  if (SettingsStatus status = read_launch_settings(record.data(), record.size(), &read_back); status != SETTINGS_OK)
    return Failure{"", "made a settings record the launcher would refuse: " + settings_problem(status)};
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
  if (SettingsStatus status = read_launch_settings(record.data(), record.size(), &settings); status != SETTINGS_OK)
    return Failure{"", "settings record (RT_RCDATA 28) cannot be read: " + settings_problem(status)};
  std::string summary = "settings: version " + std::to_string(LAUNCH_SETTINGS_VERSION);
  summary += (settings.flags & LAUNCH_EXACT_ARGUMENTS) ? ", exact arguments" : "";
  summary += (settings.flags & LAUNCH_ERROR_DIALOG) ? ", error dialog" : "";
  summary +=
      ", " + std::to_string(settings.argument_count) + " built-in argument" + (settings.argument_count == 1 ? "" : "s");
  std::vector<std::string> lines = {summary};
  std::u16string argument;
  for (size_t i = 0; i + 1 < settings.arguments_size; i += 2) {
    char16_t unit = static_cast<char16_t>(settings.arguments[i] | (settings.arguments[i + 1] << 8));
    if (unit != 0) {
      argument += unit;
      continue;
    }
    lines.push_back("argument: " + printable(argument));
    argument.clear();
  }
  return lines;
}

}  // namespace vorbel::pack
