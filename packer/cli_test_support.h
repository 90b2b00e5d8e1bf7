// What the command-line tests share: running vorbel-pack in-process with
// captured streams, and skipping when the Windows tree's launcher is missing.
// Test code only; header only.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "packer/cli.h"

#ifndef VORBEL_TEST_LAUNCHER
#define VORBEL_TEST_LAUNCHER ""
#endif

namespace vorbel::pack::testing {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

inline Outcome run(const std::vector<std::string>& arguments, const fs::path& tool_directory = {}) {
  std::ostringstream out, err;
  Console console{out, err, false, tool_directory};
  int status = run_cli(arguments, console);
  return {status, out.str(), err.str()};
}

inline std::string str(const fs::path& path) { return path.string(); }

}  // namespace vorbel::pack::testing

#define REQUIRE_LAUNCHER()                        \
  if (!fs::is_regular_file(VORBEL_TEST_LAUNCHER)) \
  GTEST_SKIP() << "no launcher at '" VORBEL_TEST_LAUNCHER "': build the Windows tree first (make windows)"
