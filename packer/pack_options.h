// The options of build and embed, read from the command line into one record;
// what is missing is completed (the launcher beside the tool, the cached
// mode's folder names) or refused as a usage error. Reads no input file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/cli_commands.h"
#include "packer/exclude_patterns.h"
#include "packer/input_tree.h"
#include "packer/launch_settings_record.h"
#include "packer/payload_writer.h"
#include "packer/resource_edits.h"

namespace vorbel::pack::cli {

namespace fs = std::filesystem;

struct BuildOptions {
  std::optional<fs::path> launcher;
  std::optional<fs::path> app;
  std::vector<AddRequest> adds;
  ExcludePatterns exclude;
  std::optional<fs::path> payload;  // embed only
  std::optional<fs::path> output;
  CompressionSettings compression;
  bool console = false;               // OUT.exe gets the console subsystem
  std::vector<fs::path> search_path;  // folders that missing DLLs are taken from
  bool strict = false;                // a DLL still missing stops the build
  ResourceEdits edits;
  SettingsChoices settings;
  std::optional<std::string> cache_dir;  // --cache-dir, checked once --cache is known
  bool help = false;                     // --help or -h: nothing else is checked
};

// Options "--name value", "--name=value" and "-o value" from arguments[1]
// on; `embed` selects embed's options, else build's. A launcher not given is
// looked for from `tool_directory` (default_launcher). With --help or -h
// among the options, nothing but options->help is set for certain.
std::optional<UsageError> parse_pack_options(const std::vector<std::string>& arguments, bool embed,
                                             const fs::path& tool_directory, BuildOptions* options);

// launcher.exe beside the tool (dist/), or where an installation puts it
// (../share/vorbel/ from the tool's folder); nothing when neither is there.
std::optional<fs::path> default_launcher(const fs::path& tool_directory);

}  // namespace vorbel::pack::cli
