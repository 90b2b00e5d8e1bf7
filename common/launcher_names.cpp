// The launcher's names and path rules; see launcher_names.h.
#include "common/launcher_names.h"

#include "common/decimal_text.h"

namespace {

bool is_digit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }
bool is_lower_hex(char16_t unit) { return is_digit(unit) || (unit >= u'a' && unit <= u'f'); }
bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }
bool is_ascii_letter(char16_t unit) { return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z'); }

char16_t ascii_upper(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

bool same_reference(const char16_t* name, size_t length, const char16_t* expected) {
  size_t at = 0;
  for (; at < length && expected[at] != 0; ++at) {
    if (ascii_upper(name[at]) != expected[at]) return false;
  }
  return at == length && expected[at] == 0;
}

}  // namespace

bool is_bundle_folder_name(const char16_t* name) {
  size_t hex = 0;
  while (hex < BUNDLE_ID_UNITS && is_lower_hex(name[hex])) ++hex;
  if (hex != BUNDLE_ID_UNITS) return false;
  const char16_t* rest = name + hex;
  if (*rest == 0) return true;
  if (*rest != u'.' || !is_digit(rest[1])) return false;
  return rest[2] == 0 || (is_digit(rest[2]) && rest[3] == 0);
}

bool name_has_form(const char16_t* form, const char16_t* name, uint64_t* pid, uint64_t* time) {
  bool has_pid = false;
  bool has_time = false;
  const char16_t* at = name;
  for (const char16_t* unit = form; *unit != 0;) {
    if (*unit != u'{') {
      if (*at != *unit) return false;
      ++at;
      ++unit;
      continue;
    }
    const char16_t* reference = unit + 1;
    const char16_t* close = reference;
    while (*close != u'}' && *close != u'{' && *close != 0) ++close;
    if (*close != u'}' || close[1] == u'{' || is_digit(close[1])) return false;
    size_t length = static_cast<size_t>(close - reference);
    if (same_reference(reference, length, u"PID") && !has_pid) {
      has_pid = take_decimal(&at, 0xFFFFFFFFu, pid);
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

AbsolutePath absolute_path_kind(const char16_t* path) {
  if (is_ascii_letter(path[0]) && path[1] == u':' && is_separator(path[2])) return DRIVE_PATH;
  if (!is_separator(path[0]) || !is_separator(path[1])) return NOT_ABSOLUTE;
  if ((path[2] == u'?' || path[2] == u'.') && is_separator(path[3])) return DEVICE_PATH;
  size_t server_end = 2;
  while (path[server_end] != 0 && !is_separator(path[server_end])) ++server_end;
  bool has_share = server_end > 2 && path[server_end] != 0 && path[server_end + 1] != 0 &&
                   !is_separator(path[server_end + 1]);
  return has_share ? NETWORK_PATH : NOT_ABSOLUTE;
}

const SpecReference* find_spec_reference(const char16_t* name, size_t length) {
  for (const SpecReference& reference : SPEC_REFERENCES) {
    if (same_reference(name, length, reference.name)) return &reference;
  }
  return nullptr;
}
