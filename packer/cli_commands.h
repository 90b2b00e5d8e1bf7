// What the files of the command line share: the failure of the command line
// itself, the one line every failure ends in, and each command's entry.
// Internal to the command line (cli.h is its interface); nothing here reads a file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "packer/cli.h"
#include "packer/result.h"

namespace vorbel::pack::cli {

// Failure of the command line itself: exit 2 with the usage hint.
struct UsageError {
  std::string problem;
};

// Said of a payload frame that the launcher runs all the same.
inline constexpr std::string_view kNoChecksum =
    "the payload frame carries no content checksum, so damage to the packed files cannot be detected";

// "vorbel-pack: FILE: problem" on the error stream, then the failures it
// carries; returns kExitBadInput.
int report(Console& console, const Failure& failure);

// The problem, the usage lines and a hint on the error stream; returns kExitUsage.
int usage_error(Console& console, const UsageError& error);

// The usage lines of every command, and the whole help text (cli_help.cpp).
std::string_view usage_text();
std::string_view help_text();
// One command's usage and the sections of the help that concern it; empty
// for a name that is no command.
std::string command_help_text(std::string_view command);

// Prints the command's help to the output stream; returns kExitOk.
int show_help(Console& console, std::string_view command);

// Whether `argument`, where an option may stand, asks for the command's help.
inline bool asks_for_help(std::string_view argument) { return argument == "--help" || argument == "-h"; }

// The commands; `arguments` begins with the command's own name.
int build_command(const std::vector<std::string>& arguments, Console& console);    // pack_commands.cpp
int embed_command(const std::vector<std::string>& arguments, Console& console);    // pack_commands.cpp
int inspect_command(const std::vector<std::string>& arguments, Console& console);  // list, extract, verify
int cache_command(const std::vector<std::string>& arguments, Console& console);    // cache_commands.cpp

}  // namespace vorbel::pack::cli
