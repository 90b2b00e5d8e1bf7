// UTF-8 / UTF-16 conversion for entry names and messages; see utf.h.
// Hand-written rather than <codecvt> (deprecated, and lenient about what it accepts).
#include "packer/utf.h"

#include <cstdint>
#include <cstdio>

namespace vorbel::pack {
namespace {

// Decodes one well-formed UTF-8 sequence at text[at]; returns its length, 0 if malformed.
size_t decode_utf8(std::string_view text, size_t at, char32_t* code_point) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(at);
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  size_t length;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;  // a continuation byte or 0xF8..0xFF in lead position
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes the code point at text[at]; returns its length in units, 0 for an unpaired surrogate.
size_t decode_utf16(std::u16string_view text, size_t at, char32_t* code_point) {
  char16_t unit = text[at];
  if (is_high_surrogate(unit)) {
    if (at + 1 < text.size() && is_low_surrogate(text[at + 1])) {
      *code_point = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[at + 1] - 0xDC00);
      return 2;
    }
    return 0;
  }
  if (is_low_surrogate(unit)) return 0;
  *code_point = unit;
  return 1;
}

void append_escape(std::string& out, const char* format, unsigned value) {
  char escape[8];
  std::snprintf(escape, sizeof escape, format, value);
  out += escape;
}

}  // namespace

std::optional<std::u16string> utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    char32_t c;
    size_t length = decode_utf8(text, at, &c);
    if (length == 0) return std::nullopt;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    at += length;
  }
  return out;
}

std::optional<std::string> utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    char32_t c;
    size_t length = decode_utf16(text, at, &c);
    if (length == 0) return std::nullopt;
    append_utf8(out, c);
    at += length;
  }
  return out;
}

std::string printable(std::string_view utf8) {
  std::string out;
  for (size_t at = 0; at < utf8.size();) {
    char32_t c;
    size_t length = decode_utf8(utf8, at, &c);
    if (length == 0 || c < 0x20 || c == 0x7F) {
      append_escape(out, "\\x%02X", static_cast<uint8_t>(utf8[at]));
      ++at;
      continue;
    }
    out.append(utf8.substr(at, length));
    at += length;
  }
  return out;
}

std::string printable(std::u16string_view utf16) {
  std::string out;
  for (size_t at = 0; at < utf16.size();) {
    char32_t c;
    size_t length = decode_utf16(utf16, at, &c);
    if (length == 0) {
      append_escape(out, "\\u%04X", utf16[at]);
      ++at;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      append_escape(out, "\\x%02X", static_cast<unsigned>(c));
    } else {
      append_utf8(out, c);
    }
    at += length;
  }
  return out;
}

}  // namespace vorbel::pack
