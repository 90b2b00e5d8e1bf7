// The launcher's names and path rules; see launcher_names.h.
#include "common/launcher_names.h"

#include "common/decimal_text.h"

namespace {

// Every rule is written once, for any text of UTF-16 units: char16_t, and
// the launcher's wchar_t (on the hosts the fuzz targets run on, wider units
// that hold the same values).
template <typename Unit>
bool is_digit(Unit unit) {
  return unit >= '0' && unit <= '9';
}
template <typename Unit>
bool is_lower_hex(Unit unit) {
  return is_digit(unit) || (unit >= 'a' && unit <= 'f');
}
template <typename Unit>
bool is_separator(Unit unit) {
  return unit == '\\' || unit == '/';
}
template <typename Unit>
bool is_ascii_letter(Unit unit) {
  return (unit >= 'a' && unit <= 'z') || (unit >= 'A' && unit <= 'Z');
}

template <typename Unit>
bool same_reference(const Unit* name, size_t length, const char16_t* expected) {
  size_t at = 0;
  for (; at < length && expected[at] != 0; ++at) {
    Unit unit = name[at];
    if (unit >= 'a' && unit <= 'z') unit = static_cast<Unit>(unit - ('a' - 'A'));
    if (unit != static_cast<Unit>(expected[at])) return false;
  }
  return at == length && expected[at] == 0;
}

template <typename Unit>
bool bundle_folder_name(const Unit* name) {
  size_t hex = 0;
  while (hex < BUNDLE_ID_UNITS && is_lower_hex(name[hex])) ++hex;
  if (hex != BUNDLE_ID_UNITS) return false;
  const Unit* rest = name + hex;
  if (*rest == 0) return true;
  if (*rest != '.' || !is_digit(rest[1])) return false;
  return rest[2] == 0 || (is_digit(rest[2]) && rest[3] == 0);
}

template <typename Unit>
bool has_form(const Unit* form, const Unit* name, uint64_t* pid, uint64_t* time) {
  bool has_pid = false;
  bool has_time = false;
  const Unit* at = name;
  for (const Unit* unit = form; *unit != 0;) {
    if (*unit != '{') {
      if (*at != *unit) return false;
      ++at;
      ++unit;
      continue;
    }
    const Unit* reference = unit + 1;
    const Unit* close = reference;
    while (*close != '}' && *close != '{' && *close != 0) ++close;
    if (*close != '}' || close[1] == '{' || is_digit(close[1])) return false;
    size_t length = static_cast<size_t>(close - reference);
    if (same_reference(reference, length, u"PID") && !has_pid) {
      // The launcher writes an id as it is, never 0 (the idle process's) or
      // with zeros before it: such a name was made by someone else.
      has_pid = *at != '0' && take_decimal(&at, 0xFFFFFFFFu, pid);
      if (!has_pid) return false;
    } else if (same_reference(reference, length, u"TIME") && !has_time) {
      has_time = take_decimal(&at, ~0ull, time);
      if (!has_time) return false;
    } else {
      return false;
    }
    unit = close + 1;
  }
  return *at == 0 && has_pid && has_time;
}

template <typename Unit>
AbsolutePath path_kind(const Unit* path) {
  if (is_ascii_letter(path[0]) && path[1] == ':' && is_separator(path[2])) return DRIVE_PATH;
  if (!is_separator(path[0]) || !is_separator(path[1])) return NOT_ABSOLUTE;
  if ((path[2] == '?' || path[2] == '.') && is_separator(path[3])) return DEVICE_PATH;
  size_t server_end = 2;
  while (path[server_end] != 0 && !is_separator(path[server_end])) ++server_end;
  bool has_share = server_end > 2 && path[server_end] != 0 && path[server_end + 1] != 0 &&
                   !is_separator(path[server_end + 1]);
  return has_share ? NETWORK_PATH : NOT_ABSOLUTE;
}

template <typename Unit>
const SpecReference* spec_reference(const Unit* name, size_t length) {
  for (const SpecReference& reference : SPEC_REFERENCES) {
    if (same_reference(name, length, reference.name)) return &reference;
  }
  return nullptr;
}

}  // namespace

bool is_bundle_folder_name(const char16_t* name) { return bundle_folder_name(name); }
bool is_bundle_folder_name(const wchar_t* name) { return bundle_folder_name(name); }

bool name_has_form(const char16_t* form, const char16_t* name, uint64_t* pid, uint64_t* time) {
  return has_form(form, name, pid, time);
}
bool name_has_form(const wchar_t* form, const wchar_t* name, uint64_t* pid, uint64_t* time) {
  return has_form(form, name, pid, time);
}

AbsolutePath absolute_path_kind(const char16_t* path) { return path_kind(path); }
AbsolutePath absolute_path_kind(const wchar_t* path) { return path_kind(path); }

const SpecReference* find_spec_reference(const char16_t* name, size_t length) { return spec_reference(name, length); }
const SpecReference* find_spec_reference(const wchar_t* name, size_t length) { return spec_reference(name, length); }
