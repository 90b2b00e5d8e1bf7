// The command line of vorbel-pack; see cli.h. Picks the command and holds the
// one way failures are told: one line "vorbel-pack: FILE: problem" (usage
// errors add the usage and exit 2, bad input exits 1). The commands are in
// pack_commands.cpp, inspect_commands.cpp and cache_commands.cpp, the help in
// cli_help.cpp.
#include "packer/cli.h"

#include <zstd.h>

#include "packer/argument_files.h"
#include "packer/cli_commands.h"
#include "packer/launcher_image.h"
#include "packer/pack_options.h"
#include "packer/platform.h"
#include "packer/utf.h"

#ifndef VORBEL_PACK_VERSION
#define VORBEL_PACK_VERSION "0.0.0"
#endif

namespace vorbel::pack {
namespace cli {

int report(Console& console, const Failure& failure) {
  console.err << "vorbel-pack: ";
  if (!failure.file.empty()) console.err << failure.file << ": ";
  console.err << failure.problem << '\n';
  for (const Failure& more : failure.also) report(console, more);
  return kExitBadInput;
}

int usage_error(Console& console, const UsageError& error) {
  console.err << "vorbel-pack: " << error.problem << '\n' << usage_text() << "Try 'vorbel-pack --help' for more.\n";
  return kExitUsage;
}

int show_help(Console& console, std::string_view command) {
  console.out << command_help_text(command);
  return kExitOk;
}

namespace {

// The tool's version, libzstd's and the Debian source revision both the
// compressor and the launcher's decoder were built from, then the launcher it
// packs into by default, when it finds one it can read, and the licences.
int show_version(Console& console) {
  console.out << "vorbel-pack " VORBEL_PACK_VERSION " (libzstd " << ZSTD_versionString()
              << ", from Debian's source " VORBEL_ZSTD_DEBIAN_VERSION ")\n";
  if (auto path = default_launcher(console.tool_directory)) {
    auto bytes = read_whole_file(*path);
    auto facts = bytes.ok() ? launcher_facts(bytes.value()) : Result<LauncherFacts>(bytes.failure());
    if (facts.ok()) {
      console.out << "launcher: " << platform::show(*path) << ", version "
                  << (facts->version.empty() ? "unknown" : facts->version) << ", "
                  << (facts->settings_version == 0
                          ? std::string("reads no settings record")
                          : "reads settings records up to version " + std::to_string(facts->settings_version))
                  << '\n';
    }
  }
  console.out << "vorbel is under the zlib licence (share/doc/vorbel/LICENSE): packed programs owe no notice for "
                 "the launcher.\n"
              << "Every packed program carries libzstd's decoder, under libzstd's BSD licence "
                 "(share/doc/vorbel/LICENSE.zstd): ship that notice with it.\n";
  return kExitOk;
}

}  // namespace
}  // namespace cli

int run_cli(const std::vector<std::string>& given, Console& console) {
  using namespace cli;
  auto expanded = expand_argument_files(given);
  if (!expanded.ok()) return report(console, expanded.failure());
  const std::vector<std::string>& arguments = expanded.value();
  if (arguments.empty()) return usage_error(console, {"no command given"});
  const std::string& command = arguments[0];
  if (command == "--help" || command == "-h" || command == "help") {
    console.out << usage_text() << help_text();
    return kExitOk;
  }
  if (command == "--version") return show_version(console);
  if (command == "build") return build_command(arguments, console);
  if (command == "embed") return embed_command(arguments, console);
  if (command == "list" || command == "extract" || command == "verify") return inspect_command(arguments, console);
  if (command == "cache") return cache_command(arguments, console);
  return usage_error(console, {"unknown command '" + printable(command) + "'"});
}

}  // namespace vorbel::pack
