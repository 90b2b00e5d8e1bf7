// The command line of vorbel-pack; see cli.h. Picks the command and holds the
// one way failures are told: one line "vorbel-pack: FILE: problem" (usage
// errors add the usage and exit 2, bad input exits 1). The commands are in
// pack_commands.cpp and inspect_commands.cpp, the help in cli_help.cpp.
#include "packer/cli.h"

#include <zstd.h>

#include "packer/cli_commands.h"
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

}  // namespace cli

int run_cli(const std::vector<std::string>& arguments, Console& console) {
  using namespace cli;
  if (arguments.empty()) return usage_error(console, {"no command given"});
  const std::string& command = arguments[0];
  if (command == "--help" || command == "-h" || command == "help") {
    console.out << usage_text() << help_text();
    return kExitOk;
  }
  if (command == "--version") {
    console.out << "vorbel-pack " VORBEL_PACK_VERSION " (libzstd " << ZSTD_versionString() << ")\n"
                << "vorbel is under the zlib licence (share/doc/vorbel/LICENSE): packed programs owe no notice for "
                   "the launcher.\n"
                << "Every packed program carries libzstd's decoder, under libzstd's BSD licence "
                   "(share/doc/vorbel/LICENSE.zstd): ship that notice with it.\n";
    return kExitOk;
  }
  if (command == "build") return build_command(arguments, console);
  if (command == "embed") return embed_command(arguments, console);
  if (command == "list" || command == "extract" || command == "verify") return inspect_command(arguments, console);
  return usage_error(console, {"unknown command '" + printable(command) + "'"});
}

}  // namespace vorbel::pack
