// The pack-time settings record on the build tool's side: made from the
// command line's choices, checked against what the launcher reads, and
// described for list and verify. The layout itself is payload/launch_settings_format.h.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "packer/pe_resources.h"
#include "packer/result.h"

namespace vorbel::pack {

struct SettingsChoices {
  std::vector<std::string> arguments;  // --arg, UTF-8, in order
  bool exact_arguments = false;        // --exact-arguments
  bool error_dialog = false;           // --error-dialog
  bool any() const { return !arguments.empty() || exact_arguments || error_dialog; }
};

// Why one --arg text cannot be stored (a brace that is no placeholder, text
// that is not Unicode), or nothing.
std::optional<std::string> built_in_argument_problem(const std::string& argument);

// The record for the choices; failures (too many or too long arguments, a
// bad placeholder) name no file.
Result<std::vector<uint8_t>> make_settings_record(const SettingsChoices& choices);

// The record version the launcher's resources say it reads; 0 for a launcher
// built before the record.
uint8_t settings_version_read_by(const pe::ResourceTree& launcher);

// What a record holds, one line each: "settings: ..." and an
// "argument: ..." line per built-in argument. A damaged record is a failure.
Result<std::vector<std::string>> describe_settings(std::span<const uint8_t> record);

}  // namespace vorbel::pack
