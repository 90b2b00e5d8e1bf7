// The scenario registry and the test program's entry; see scenario.h.
#include "tests/support/scenario.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

std::map<std::string, ScenarioFunction>& registry() {
  static std::map<std::string, ScenarioFunction> scenarios;
  return scenarios;
}

constexpr char SCENARIO_FLAG[] = "--scenario=";

}  // namespace

ScenarioRegistration::ScenarioRegistration(const char* name, ScenarioFunction function) {
  registry()[name] = function;
}

ProcessResult run_scenario(const char* name, const RunOptions& options, const std::vector<std::wstring>& arguments) {
  std::wstring line = quote_argument(own_executable()) + L" " + widen(SCENARIO_FLAG) + widen(name);
  for (const auto& argument : arguments) line += L" " + quote_argument(argument);
  return run_process(own_executable(), line, options);
}

int run_tests_or_scenario(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], SCENARIO_FLAG, sizeof SCENARIO_FLAG - 1) == 0) {
    auto found = registry().find(argv[1] + sizeof SCENARIO_FLAG - 1);
    if (found == registry().end()) return 97;
    int status = found->second();
    fflush(stdout);
    fflush(stderr);
    return status;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
