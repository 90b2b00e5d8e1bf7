// Entry of the Windows test programs.
#include "tests/support/scenario.h"

int main(int argc, char** argv) {
  return run_tests_or_scenario(argc, argv);
}
