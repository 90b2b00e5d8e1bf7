// The vorbel-pack command line: parsing, the build/embed/list/extract/verify/
// cache commands, messages and exit statuses. Takes UTF-8 arguments and writes to
// the given streams only, so tests run it in-process; main does the rest.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace vorbel::pack {

inline constexpr int kExitOk = 0;
inline constexpr int kExitBadInput = 1;
inline constexpr int kExitUsage = 2;

struct Console {
  std::ostream& out;
  std::ostream& err;
  bool show_progress = false;  // stderr is a terminal
  // Where this program lies, for the launcher installed with it; empty: unknown.
  std::filesystem::path tool_directory = {};
};

// `arguments` excludes the program name; "@FILE" among them stands for the
// arguments in FILE (argument_files.h).
int run_cli(const std::vector<std::string>& arguments, Console& console);

}  // namespace vorbel::pack
