// The decimal numbers that the launcher writes into directory names and
// VORBEL_ONEFILE_START ({PID}, {TIME}), written and read back out of them:
// digits only, no sign, no blanks, no overflow. Portable: plain code over
// UTF-16 units (char16_t, or the launcher's wchar_t).
#pragma once

#include <stdint.h>
#include <wchar.h>

#include "common/bounded_text.h"

// value's digits at the cursor's end; false when they do not fit (the text
// is then as it was).
bool text_try_append_decimal(TextCursor* cursor, uint64_t value);

// One or more decimal digits at *unit, of a value no larger than largest;
// *unit moves past them. False when there is no digit or the value is larger.
bool take_decimal(const char16_t** unit, uint64_t largest, uint64_t* value);
bool take_decimal(const wchar_t** unit, uint64_t largest, uint64_t* value);

// Whether text is one such number and nothing else.
bool is_decimal(const wchar_t* text, uint64_t largest, uint64_t* value);
