// The property tests' shared helpers; see random_runs.h.
// Formats exactly as the probe application reports arguments.
#include "tests/support/random_runs.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

unsigned env_number(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : fallback;
}

unsigned run_seed(const char* variable, const char* cases, unsigned count) {
  const unsigned seed = env_number(variable, std::random_device{}());
  std::printf("%s: %u, seed %u (%s=%u repeats them)\n", cases, count, seed, variable, seed);
  std::fflush(stdout);
  return seed;
}

std::string hex_units(const std::wstring& text) {
  std::ostringstream hex;
  hex << std::hex;
  for (wchar_t unit : text) {
    hex.width(4);
    hex.fill('0');
    hex << static_cast<unsigned>(unit);
  }
  return hex.str();
}
