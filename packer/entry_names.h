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

#include "common/launcher_names.h"
#include "payload/payload_format.h"

namespace vorbel::pack {

inline constexpr size_t kMaxEntryNameUnits = ENTRY_NAME_CAPACITY - 1;
inline constexpr char16_t kSeparator = u'\\';

// Why Windows could not hold a file under `name` (relative, components
// separated by backslashes), or nothing when it can.
std::optional<std::string> entry_name_problem(std::u16string_view name);

// The device name that makes Windows open a device instead of a file for
// `component` ("nul" of "nul.txt", as written there), or nothing.
std::optional<std::u16string_view> device_name_in(std::u16string_view component);

// Why a payload of the cached mode (--cache) cannot hold `name`, which
// entry_name_problem accepts: its bundle keeps a record of its own there.
std::optional<std::string> cached_entry_name_problem(std::u16string_view name);

// The launcher's extraction directory under a typical %TEMP%, with the
// backslash before the entry name: a 20-character user name, a 5-digit process
// id and an 18-digit FILETIME (any date from 1918 to 4770).
inline constexpr size_t kTypicalExtractionPrefixUnits = std::u16string_view(u"C:\\Users\\").size() + 20 +
                                                        std::u16string_view(u"\\AppData\\Local\\Temp\\").size() +
                                                        std::u16string_view(EXTRACTION_DIR_PREFIX).size() + 5 + 1 +
                                                        18 + 1;

// The shortest plain path (not \\?\) that Windows refuses while long paths
// are not enabled, for a file and for a new directory.
inline constexpr size_t kPlainPathLimit = PLAIN_FILE_PATH_LIMIT;
inline constexpr size_t kPlainDirectoryLimit = PLAIN_DIRECTORY_PATH_LIMIT;

struct LongPath {
  size_t units;  // the unpacked path, under the typical prefix
  size_t limit;  // kPlainPathLimit for the file's own path, kPlainDirectoryLimit for its folder's
};

// The unpacked path of the entry `name` that would reach those limits under a
// typical %TEMP%, so that the launcher needs the \\?\ form for it: the file's
// own, or else its folder's; nothing when both fit.
std::optional<LongPath> long_unpacked_path(std::u16string_view name);

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
