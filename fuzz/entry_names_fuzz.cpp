// Property: for any bytes taken as a UTF-8 entry name, the strict conversion
// accepts exactly the well-formed UTF-8 (judged here by an independent decoder),
// and an accepted name survives UTF-8 -> UTF-16 -> UTF-8 unchanged. The same
// bytes taken as UTF-16LE units convert back and forth unchanged when they hold
// no unpaired surrogate. Any name the validator accepts is one Windows can hold:
// 1 to 1023 units, valid Unicode, relative, no empty or dot/blank-only component,
// no forbidden character; and the name book reports it as clashing with itself,
// with its own upper case, and with a file below it. Nothing here may crash.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "packer/entry_names.h"
#include "packer/utf.h"

namespace {

using namespace vorbel::pack;

// Well-formed UTF-8 after the table of valid byte sequences (not the code's own
// decoder): the second byte's range depends on the first, which rules out
// overlong forms, surrogates and code points above U+10FFFF in one place.
bool is_well_formed_utf8(std::string_view text) {
  auto in = [](uint8_t b, uint8_t low, uint8_t high) { return b >= low && b <= high; };
  for (size_t i = 0; i < text.size();) {
    const uint8_t b0 = static_cast<uint8_t>(text[i]);
    size_t length;
    uint8_t low = 0x80, high = 0xBF;
    if (b0 <= 0x7F) {
      length = 1;
    } else if (in(b0, 0xC2, 0xDF)) {
      length = 2;
    } else if (in(b0, 0xE0, 0xEF)) {
      length = 3;
      if (b0 == 0xE0) low = 0xA0;
      if (b0 == 0xED) high = 0x9F;
    } else if (in(b0, 0xF0, 0xF4)) {
      length = 4;
      if (b0 == 0xF0) low = 0x90;
      if (b0 == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const uint8_t b = static_cast<uint8_t>(text[i + k]);
      if (!(k == 1 ? in(b, low, high) : in(b, 0x80, 0xBF))) return false;
    }
    i += length;
  }
  return true;
}

bool has_unpaired_surrogate(std::u16string_view units) {
  for (size_t i = 0; i < units.size(); ++i) {
    if (units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (units[i] >= 0xD800 && units[i] <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

void check_accepted_name(std::u16string_view name) {
  FUZZ_CHECK(!name.empty() && name.size() <= kMaxEntryNameUnits);
  FUZZ_CHECK(!has_unpaired_surrogate(name));
  FUZZ_CHECK(name.front() != kSeparator && name.back() != kSeparator);
  FUZZ_CHECK(name.find(u"\\\\") == std::u16string_view::npos);
  for (char16_t unit : name) {
    FUZZ_CHECK(unit >= 0x20 && std::u16string_view(u"<>:\"|?*/").find(unit) == std::u16string_view::npos);
  }
  // Windows drops a trailing dot or blank from every component, which could merge two names.
  for (size_t end = name.find(kSeparator); end != std::u16string_view::npos; end = name.find(kSeparator, end + 1)) {
    FUZZ_CHECK(name[end - 1] != u'.' && name[end - 1] != u' ');
  }
  FUZZ_CHECK(name.back() != u'.' && name.back() != u' ');

  NameBook book;
  FUZZ_CHECK(!book.add(name, 0));
  auto same = book.add(name, 1);
  FUZZ_CHECK(same && same->earlier == 0);
  auto upper = book.add(fold_case(name), 2);
  FUZZ_CHECK(upper && upper->earlier == 0);
  std::u16string below(name);
  below += u"\\x";
  auto inside = book.add(below, 3);
  FUZZ_CHECK(inside && inside->earlier == 0);
  FUZZ_CHECK(fold_case(fold_case(name)) == fold_case(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)printable(text);

  const std::optional<std::u16string> utf16 = utf8_to_utf16(text);
  FUZZ_CHECK(utf16.has_value() == is_well_formed_utf8(text));
  if (utf16) {
    const std::optional<std::string> back = utf16_to_utf8(*utf16);
    FUZZ_CHECK(back && *back == text);
    FUZZ_CHECK(printable(*utf16) == printable(text));
    if (!entry_name_problem(*utf16)) check_accepted_name(*utf16);
  }

  // The same bytes as UTF-16LE, the form names have inside a payload.
  std::u16string units(size / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  (void)printable(units);
  const std::optional<std::string> utf8 = utf16_to_utf8(units);
  FUZZ_CHECK(utf8.has_value() == !has_unpaired_surrogate(units));
  if (utf8) {
    const std::optional<std::u16string> again = utf8_to_utf16(*utf8);
    FUZZ_CHECK(again && *again == units);
  }
  if (!entry_name_problem(units)) check_accepted_name(units);
  return 0;
}
