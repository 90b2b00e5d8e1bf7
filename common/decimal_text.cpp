// Decimal numbers in wide text; see decimal_text.h.
#include "common/decimal_text.h"

namespace {

template <typename Unit>
bool take_digits(const Unit** unit, uint64_t largest, uint64_t* value) {
  const Unit* start = *unit;
  *value = 0;
  for (; **unit >= '0' && **unit <= '9'; ++*unit) {
    uint64_t digit = static_cast<uint64_t>(**unit - '0');
    if (*value > (largest - digit) / 10) return false;
    *value = *value * 10 + digit;
  }
  return *unit != start;
}

}  // namespace

bool take_decimal(const char16_t** unit, uint64_t largest, uint64_t* value) { return take_digits(unit, largest, value); }
bool take_decimal(const wchar_t** unit, uint64_t largest, uint64_t* value) { return take_digits(unit, largest, value); }

bool is_decimal(const wchar_t* text, uint64_t largest, uint64_t* value) {
  return take_decimal(&text, largest, value) && *text == L'\0';
}

bool text_try_append_decimal(TextCursor* cursor, uint64_t value) {
  wchar_t digits[21];  // 2^64 has 20 digits
  size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  size_t length = cursor->length;
  while (count > 0) {
    if (!text_try_append_unit(cursor, digits[--count])) {
      text_cut(cursor, length);
      return false;
    }
  }
  return true;
}
