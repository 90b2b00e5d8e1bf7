// The shared entry-name rule; see entry_name_rule.h. The launcher trusts the
// build tool's stricter checks for everything else (forbidden characters,
// trailing dots): those fail to open, they never write outside the directory.
#include "payload/entry_name_rule.h"

namespace {

char16_t ascii_upper(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

// Whether base (length units) is name, ASCII letter case ignored; name is
// ASCII text, narrow or wide.
template <typename Unit>
bool base_is(const char16_t* base, size_t length, const Unit* name) {
  size_t i = 0;
  for (; i < length && name[i] != 0; ++i) {
    if (ascii_upper(base[i]) != ascii_upper(static_cast<char16_t>(name[i]))) return false;
  }
  return i == length && name[i] == 0;
}

// Windows counts the superscript digits one to three as port numbers too.
bool is_port_digit(char16_t unit) {
  return (unit >= u'1' && unit <= u'9') || unit == u'\u00B9' || unit == u'\u00B2' || unit == u'\u00B3';
}

bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// A component that Windows would read as the parent directory: "..", and the
// forms it trims to "..", made of dots and blanks only.
bool is_parent_component(const char16_t* start, const char16_t* end) {
  int dots = 0;
  for (const char16_t* unit = start; unit < end; ++unit) {
    if (*unit == u'.') {
      ++dots;
    } else if (*unit != u' ') {
      return false;
    }
  }
  return dots >= 2;
}

}  // namespace

size_t device_name_length(const char16_t* component, size_t length) {
  size_t base = 0;
  while (base < length && component[base] != u'.') ++base;
  while (base > 0 && component[base - 1] == u' ') --base;
  static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : plain) {
    if (base_is(component, base, name)) return base;
  }
  if (base == 4 && (base_is(component, 3, "COM") || base_is(component, 3, "LPT")) && is_port_digit(component[3])) {
    return base;
  }
  return 0;
}

bool entry_name_is_directory_lock(const char16_t* name, size_t length) {
  return base_is(name, length, DIRECTORY_LOCK_NAME);
}

bool entry_name_is_bundle_record(const char16_t* name, size_t length) {
  return base_is(name, length, BUNDLE_RECORD_NAME);
}

bool entry_name_stays_inside(const char16_t* name) {
  if (is_separator(name[0])) return false;
  const char16_t* start = name;
  for (const char16_t* unit = name;; ++unit) {
    if (*unit == u':') return false;
    if (*unit == u'\0' || is_separator(*unit)) {
      if (is_parent_component(start, unit)) return false;
      if (device_name_length(start, static_cast<size_t>(unit - start)) != 0) return false;
      if (*unit == u'\0') return true;
      start = unit + 1;
    }
  }
}
