// Matching of --exclude patterns; see exclude_patterns.h. A table over
// (pattern position, name position) rather than backtracking, so that a
// pattern of many stars costs at most pattern x name steps, never more.
#include "packer/exclude_patterns.h"

#include <algorithm>

#include "packer/entry_names.h"
#include "packer/utf.h"

namespace vorbel::pack {

std::optional<std::u16string> ExcludePatterns::parse(std::string_view pattern) {
  auto converted = utf8_to_utf16(pattern);
  if (!converted || converted->empty()) return std::nullopt;
  std::replace(converted->begin(), converted->end(), u'/', kSeparator);
  return fold_case(*converted);
}

bool pattern_matches(std::u16string_view pattern, std::u16string_view name) {
  // reach[j]: the pattern read so far can match the first j units of the name.
  std::vector<char> reach(name.size() + 1, 0), next(name.size() + 1, 0);
  reach[0] = 1;
  for (size_t i = 0; i < pattern.size();) {
    std::fill(next.begin(), next.end(), 0);
    const char16_t unit = pattern[i];
    if (unit == u'*' && i + 1 < pattern.size() && pattern[i + 1] == u'*') {
      const bool at_component_start = i == 0 || pattern[i - 1] == kSeparator;
      const bool whole_components = at_component_start && i + 2 < pattern.size() && pattern[i + 2] == kSeparator;
      bool reached = false;
      for (size_t j = 0; j <= name.size(); ++j) {
        // "**\" is none, or any run ending in a separator; a bare "**" any run.
        if (whole_components) {
          next[j] = reach[j] || (reached && j > 0 && name[j - 1] == kSeparator);
        } else {
          next[j] = reach[j] || reached;
        }
        reached = reached || reach[j];
      }
      i += whole_components ? 3 : 2;
    } else if (unit == u'*') {
      bool reached = false;
      for (size_t j = 0; j <= name.size(); ++j) {
        if (j > 0 && name[j - 1] == kSeparator) reached = false;
        reached = reached || reach[j];
        next[j] = reached;
      }
      ++i;
    } else {
      for (size_t j = 0; j < name.size(); ++j) {
        if (!reach[j]) continue;
        bool fits = unit == u'?' ? name[j] != kSeparator : name[j] == unit;
        if (fits) next[j + 1] = 1;
      }
      ++i;
    }
    reach.swap(next);
  }
  return reach[name.size()] != 0;
}

template <class Matches>
bool ExcludePatterns::any_matches(Matches matches) const {
  bool excluded = false;
  for (const Pattern& pattern : patterns_) {
    if (excluded && pattern.matched) continue;  // nothing left to learn from it
    if (matches(std::u16string_view(pattern.folded))) excluded = pattern.matched = true;
  }
  return excluded;
}

bool ExcludePatterns::excludes_file(std::u16string_view name) const {
  if (patterns_.empty()) return false;
  std::u16string folded = fold_case(name);
  return any_matches([&](std::u16string_view pattern) { return pattern_matches(pattern, folded); });
}

bool ExcludePatterns::excludes_directory(std::u16string_view name) const {
  if (patterns_.empty() || name.empty()) return false;
  std::u16string folded = fold_case(name);
  constexpr std::u16string_view kEverythingBelow = u"\\**";
  return any_matches([&](std::u16string_view pattern) {
    if (pattern_matches(pattern, folded)) return true;
    return pattern.ends_with(kEverythingBelow) &&
           pattern_matches(pattern.substr(0, pattern.size() - kEverythingBelow.size()), folded);
  });
}

std::optional<std::string> pattern_with_folder_in_front(std::string_view given,
                                                        const std::vector<std::u16string>& names) {
  auto pattern = ExcludePatterns::parse(given);
  if (!pattern || pattern->find(kSeparator) == std::u16string::npos || pattern->starts_with(u"**")) return std::nullopt;
  for (const std::u16string& name : names) {
    const std::u16string folded = fold_case(name);
    for (size_t split = folded.find(kSeparator); split != std::u16string::npos;
         split = folded.find(kSeparator, split + 1)) {
      if (!pattern_matches(*pattern, std::u16string_view(folded).substr(split + 1))) continue;
      std::u16string folder = name.substr(0, split);
      std::replace(folder.begin(), folder.end(), kSeparator, u'/');
      return printable(folder) + "/" + std::string(given);
    }
  }
  return std::nullopt;
}

std::vector<std::string> ExcludePatterns::unmatched() const {
  std::vector<std::string> given;
  for (const Pattern& pattern : patterns_) {
    if (!pattern.matched) given.push_back(pattern.given.empty() ? printable(pattern.folded) : pattern.given);
  }
  return given;
}

}  // namespace vorbel::pack
