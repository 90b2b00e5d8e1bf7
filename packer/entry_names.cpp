// Entry name rules and case folding; see entry_names.h. Stricter than the
// launcher's own check on purpose: it only stops names that leave its directory
// or name a device (the rule both share), while a name Windows rejects or
// rewrites would fail on the user's machine.
#include "packer/entry_names.h"

#include <cstdint>
#include <cstdio>

#include "packer/utf.h"
#include "payload/entry_name_rule.h"

namespace vorbel::pack {
namespace {

std::string quoted(std::u16string_view name) { return "'" + printable(name) + "'"; }

bool is_blank_or_dot(char16_t unit) { return unit == u'.' || unit == u' '; }

std::optional<std::string> forbidden_character(char16_t unit) {
  if (unit < 0x20) {
    char text[48];
    std::snprintf(text, sizeof text, "the control character U+%04X", static_cast<unsigned>(unit));
    return text;
  }
  switch (unit) {
    case u'<':
      return "'<'";
    case u'>':
      return "'>'";
    case u':':
      return "':'";
    case u'"':
      return "'\"'";
    case u'|':
      return "'|'";
    case u'?':
      return "'?'";
    case u'*':
      return "'*'";
    case u'/':
      return "'/' (only '\\' separates components)";
    default:
      return std::nullopt;
  }
}

std::optional<std::string> component_problem(std::u16string_view name, std::u16string_view component) {
  if (component.empty()) return "entry name " + quoted(name) + " has an empty component";
  bool dots_and_blanks_only = true;
  for (char16_t unit : component) dots_and_blanks_only = dots_and_blanks_only && is_blank_or_dot(unit);
  if (dots_and_blanks_only) {
    return "entry name " + quoted(name) + " has the component " + quoted(component) + ", made only of dots and blanks";
  }
  for (char16_t unit : component) {
    if (auto character = forbidden_character(unit)) {
      return "entry name " + quoted(name) + " contains " + *character + ", which Windows forbids in file names";
    }
  }
  if (is_blank_or_dot(component.back())) {
    return "entry name " + quoted(name) + " has the component " + quoted(component) +
           " ending in a dot or blank, which Windows drops";
  }
  if (auto device = device_name_in(component))
    return "entry name " + quoted(name) + " uses the reserved device name " + quoted(*device);
  return std::nullopt;
}

}  // namespace

std::optional<std::u16string_view> device_name_in(std::u16string_view component) {
  const size_t length = device_name_length(component.data(), component.size());
  if (length == 0) return std::nullopt;
  return component.substr(0, length);
}

namespace {

// A range of code points whose upper case lies at a fixed distance; with
// `alternating`, only every other one (the lower case of upper/lower pairs).
struct FoldRange {
  char16_t first;
  char16_t last;
  int delta;
  bool alternating;
};

// clang-format off
constexpr FoldRange kFoldRanges[] = {
    {u'a', u'z', -32, false},
    {0x00E0, 0x00F6, -32, false},
    {0x00F8, 0x00FE, -32, false},
    {0x0101, 0x012F, -1, true},
    {0x0133, 0x0137, -1, true},
    {0x013A, 0x0148, -1, true},
    {0x014B, 0x0177, -1, true},
    {0x017A, 0x017E, -1, true},
    {0x03AD, 0x03AF, -37, false},
    {0x03B1, 0x03C1, -32, false},
    {0x03C3, 0x03CB, -32, false},
    {0x03CD, 0x03CE, -63, false},
    {0x0430, 0x044F, -32, false},
    {0x0450, 0x045F, -80, false},
    {0x0461, 0x0481, -1, true},
    {0x048B, 0x04BF, -1, true},
    {0x04C2, 0x04CE, -1, true},
    {0x04D1, 0x052F, -1, true},
    {0x0561, 0x0586, -48, false},
    {0x1E01, 0x1E95, -1, true},
    {0x1EA1, 0x1EFF, -1, true},
    {0x2170, 0x217F, -16, false},
    {0x24D0, 0x24E9, -26, false},
    {0xFF41, 0xFF5A, -32, false},
};
// clang-format on

struct FoldSingle {
  char16_t from;
  char16_t to;
};

constexpr FoldSingle kFoldSingles[] = {
    {0x00B5, 0x039C},  // micro sign -> Greek capital mu
    {0x00FF, 0x0178},  // y with diaeresis
    {0x0131, 0x0049},  // dotless i -> I
    {0x017F, 0x0053},  // long s -> S
    {0x03AC, 0x0386},  // Greek alpha with tonos
    {0x03C2, 0x03A3},  // final sigma -> capital sigma
    {0x03CC, 0x038C},  // Greek omicron with tonos
    {0x04CF, 0x04C0},  // Cyrillic palochka
};

}  // namespace

std::optional<std::string> entry_name_problem(std::u16string_view name) {
  if (name.empty()) return "entry name is empty";
  if (name.size() > kMaxEntryNameUnits) {
    return "entry name " + quoted(name) + " is " + std::to_string(name.size()) + " UTF-16 units long, more than " +
           std::to_string(kMaxEntryNameUnits);
  }
  if (!utf16_to_utf8(name)) return "entry name " + quoted(name) + " contains an unpaired surrogate";
  if (name.front() == kSeparator || name.front() == u'/') return "entry name " + quoted(name) + " is absolute";
  if (entry_name_is_directory_lock(name.data(), name.size())) {
    return "entry name " + quoted(name) +
           " is reserved: the launcher keeps its lock file of that name at the top "
           "of the extraction directory";
  }
  size_t start = 0;
  for (;;) {
    size_t end = name.find(kSeparator, start);
    std::u16string_view component = name.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (auto problem = component_problem(name, component)) return problem;
    if (end == std::u16string_view::npos) return std::nullopt;
    start = end + 1;
  }
}

std::optional<std::string> cached_entry_name_problem(std::u16string_view name) {
  if (!entry_name_is_bundle_record(name.data(), name.size())) return std::nullopt;
  return "entry name " + quoted(name) +
         " is reserved with --cache: the launcher keeps its record of the bundle's files of that name at the "
         "top of the bundle directory";
}

std::optional<LongPath> long_unpacked_path(std::u16string_view name) {
  const size_t file = kTypicalExtractionPrefixUnits + name.size();
  if (file >= kPlainPathLimit) return LongPath{file, kPlainPathLimit};
  // The innermost folder is the longest one the launcher creates for it.
  const size_t folder_end = name.rfind(kSeparator);
  if (folder_end == std::u16string_view::npos) return std::nullopt;
  const size_t folder = kTypicalExtractionPrefixUnits + folder_end;
  if (folder >= kPlainDirectoryLimit) return LongPath{folder, kPlainDirectoryLimit};
  return std::nullopt;
}

char16_t fold_case(char16_t unit) {
  for (const FoldRange& range : kFoldRanges) {
    if (unit < range.first || unit > range.last) continue;
    if (range.alternating && (unit - range.first) % 2 != 0) return unit;
    return static_cast<char16_t>(unit + range.delta);
  }
  for (const FoldSingle& single : kFoldSingles) {
    if (unit == single.from) return single.to;
  }
  return unit;
}

std::u16string fold_case(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& unit : folded) unit = fold_case(unit);
  return folded;
}

std::optional<NameBook::Clash> NameBook::add(std::u16string_view name, size_t index) {
  const std::u16string folded = fold_case(name);
  const auto clash = [&](const std::pair<size_t, std::u16string>& earlier, const char* what) {
    return Clash{earlier.first, "entry name " + quoted(name) + " " + what + " " + quoted(earlier.second)};
  };
  if (auto same = files_.find(folded); same != files_.end()) {
    return clash(same->second, "is the same file on Windows (which ignores case) as");
  }
  if (auto directory = directories_.find(folded); directory != directories_.end()) {
    return clash(directory->second, "is also the directory that must hold");
  }
  for (size_t cut = folded.find(kSeparator); cut != std::u16string::npos; cut = folded.find(kSeparator, cut + 1)) {
    if (auto file = files_.find(folded.substr(0, cut)); file != files_.end()) {
      return clash(file->second, "needs a directory where there is the file");
    }
  }
  for (size_t cut = folded.find(kSeparator); cut != std::u16string::npos; cut = folded.find(kSeparator, cut + 1)) {
    directories_.emplace(folded.substr(0, cut), std::pair(index, std::u16string(name)));
  }
  files_.emplace(folded, std::pair(index, std::u16string(name)));
  return std::nullopt;
}

}  // namespace vorbel::pack
