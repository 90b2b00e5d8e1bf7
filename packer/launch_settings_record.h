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
#include "packer/sha256.h"

namespace vorbel::pack {

// The cached mode's section (--cache), all UTF-8.
struct CacheChoices {
  std::string application;  // the folder under the root: --product-name, else the output's stem
  std::string bundle_id;    // bundle_id_of the payload resource; known only once it is written
  std::string root;         // --cache-dir; empty for LAUNCH_DEFAULT_CACHE_ROOT
};

struct SettingsChoices {
  std::vector<std::string> arguments;  // --arg, UTF-8, in order
  bool exact_arguments = false;        // --exact-arguments
  bool error_dialog = false;           // --error-dialog
  std::optional<CacheChoices> cache;   // --cache
  bool progress_window = false;        // --progress-window
  bool progress_line = false;          // --progress
  bool any() const {
    return !arguments.empty() || exact_arguments || error_dialog || cache || progress_window || progress_line;
  }
  // The lowest version that holds the choices, so that programs without the
  // newer ones still run on launchers that read only the older versions.
  uint8_t version() const { return progress_window || progress_line ? 3 : cache ? 2 : 1; }
};

// Why one --arg text cannot be stored (a brace that is no placeholder, text
// that is not Unicode), or nothing.
std::optional<std::string> built_in_argument_problem(const std::string& argument);

// Why `name` cannot be the application's cache folder (the launcher's
// cache_application_name_ok says no), or nothing.
std::optional<std::string> application_folder_problem(const std::string& name);

// Why a --cache-dir spec cannot be stored: it must pass the launcher's
// cache_root_spec_ok, name only references the launcher expands, and give an
// absolute path. Nothing when it can.
std::optional<std::string> cache_root_problem(const std::string& spec);

// The bundle id for a payload resource's digest: its first 8 bytes in hex.
std::string bundle_id_of(const Sha256Digest& digest);

// The record for the choices; failures (too many or too long arguments, a
// bad placeholder, a cache section the launcher would refuse) name no file.
Result<std::vector<uint8_t>> make_settings_record(const SettingsChoices& choices);

// The record version the launcher's resources say it reads; 0 for a launcher
// built before the record.
uint8_t settings_version_read_by(const pe::ResourceTree& launcher);

// What a record holds, one line each: "settings: ..." (its flags by their
// options' meaning: "progress window", "progress line"), with the cached mode
// "cache: ...", and an "argument: ..." line per built-in argument. A damaged
// record is a failure.
Result<std::vector<std::string>> describe_settings(std::span<const uint8_t> record);

// The cached mode's section of a readable record (root empty for the
// default), else nothing.
std::optional<CacheChoices> cache_choices_in(std::span<const uint8_t> record);

// The bundle id a readable record carries for the cached mode, else nothing.
std::optional<std::string> bundle_id_in(std::span<const uint8_t> record);

}  // namespace vorbel::pack
