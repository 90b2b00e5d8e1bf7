// Decimal numbers in wide text; see decimal_text.h.
#include "common/decimal_text.h"

bool take_decimal(const wchar_t** unit, uint64_t largest, uint64_t* value) {
  const wchar_t* start = *unit;
  *value = 0;
  for (; **unit >= L'0' && **unit <= L'9'; ++*unit) {
    uint64_t digit = static_cast<uint64_t>(**unit - L'0');
    if (*value > (largest - digit) / 10) return false;
    *value = *value * 10 + digit;
  }
  return *unit != start;
}

bool is_decimal(const wchar_t* text, uint64_t largest, uint64_t* value) {
  return take_decimal(&text, largest, value) && *text == L'\0';
}
