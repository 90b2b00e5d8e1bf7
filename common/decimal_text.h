// Reading the decimal numbers that the launcher writes into directory names
// and VORBEL_ONEFILE_START ({PID}, {TIME}) back out of them: digits only, no
// sign, no blanks, no overflow. Plain code over wide text.
#pragma once

#include <stdint.h>
#include <wchar.h>

// One or more decimal digits at *unit, of a value no larger than largest;
// *unit moves past them. False when there is no digit or the value is larger.
bool take_decimal(const wchar_t** unit, uint64_t largest, uint64_t* value);

// Whether text is one such number and nothing else.
bool is_decimal(const wchar_t* text, uint64_t largest, uint64_t* value);
