// The rules an entry name must meet so that the launcher can unpack it on
// Windows, and the case fold that decides when two names are one file there.
// Pure functions on UTF-16: no file system access, no platform headers.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "payload/payload_format.h"

namespace vorbel::pack {

inline constexpr size_t kMaxEntryNameUnits = ENTRY_NAME_CAPACITY - 1;
inline constexpr char16_t kSeparator = u'\\';

// Why Windows could not hold a file under `name` (relative, components
// separated by backslashes), or nothing when it can.
std::optional<std::string> entry_name_problem(std::u16string_view name);

// Upper case for one UTF-16 unit, as far as the tables here reach: ASCII,
// Latin-1, Latin Extended-A and Additional, Greek, Cyrillic, Armenian,
// Roman numerals, circled and fullwidth Latin letters. Anything else maps to
// itself, so names differing only in the case of other scripts are not caught.
char16_t fold_case(char16_t unit);
std::u16string fold_case(std::u16string_view name);

// The names of one payload so far, to find those that cannot sit side by side
// in one directory tree on Windows.
class NameBook {
 public:
  struct Clash {
    size_t earlier;    // the index given with the name this one clashes with
    std::string what;  // "<this name> is ... <earlier name>"
  };

  // Records the name under `index`, unless it clashes with one recorded before:
  // the same file by case, a file where a directory must go or the reverse.
  std::optional<Clash> add(std::u16string_view name, size_t index);

 private:
  std::map<std::u16string, std::pair<size_t, std::u16string>> files_;        // folded -> index, name
  std::map<std::u16string, std::pair<size_t, std::u16string>> directories_;  // folded -> first file below
};

}  // namespace vorbel::pack
