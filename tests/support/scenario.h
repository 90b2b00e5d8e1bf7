// Scenarios: code that must run in a process of its own, because it ends the
// process (exit, abort) or changes process-wide state for good. The test
// program starts itself with --scenario=NAME and checks streams and status.
#pragma once

#include "tests/support/process_runner.h"

using ScenarioFunction = int (*)();

struct ScenarioRegistration {
  ScenarioRegistration(const char* name, ScenarioFunction function);
};

#define VORBEL_SCENARIO(name)                                                        \
  static int scenario_##name();                                                      \
  static const ScenarioRegistration scenario_registration_##name(#name, scenario_##name); \
  static int scenario_##name()

// Runs the named scenario in a fresh copy of this test program, with extra
// arguments after the scenario name (left for the scenario in __wargv).
ProcessResult run_scenario(const char* name, const RunOptions& options = {},
                           const std::vector<std::wstring>& arguments = {});

// Entry of the test program: runs a scenario when asked to, else the tests.
int run_tests_or_scenario(int argc, char** argv);

// The runtime's exit status after abort.
constexpr DWORD ABORT_STATUS = 3;
