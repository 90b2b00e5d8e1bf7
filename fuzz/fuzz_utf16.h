// How the targets whose subject reads UTF-16 text take their input: the
// bytes as UTF-16LE units, up to the first NUL or an odd last byte.
// Header only; it must stay free of any subject's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::u16string utf16_up_to_nul(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == u'\0') break;
    text += unit;
  }
  return text;
}
