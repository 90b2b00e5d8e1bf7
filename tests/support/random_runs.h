// What the property tests share: a number from the environment (the seed that
// repeats a run, the size of a run) and text shown as UTF-16 units in hex.
// Test support only; nothing here is random itself.
#pragma once

#include <string>

// The variable's value read as a number (decimal, or hex after 0x); fallback
// when it is unset or empty.
unsigned env_number(const char* name, unsigned fallback);

// The seed of a run of count cases: the variable's value, else a fresh one;
// printed with the setting that repeats the run.
unsigned run_seed(const char* variable, const char* cases, unsigned count);

// Each unit as four hex digits, one after the other: lone surrogates and
// blanks stay visible in a failure message.
std::string hex_units(const std::wstring& text);
