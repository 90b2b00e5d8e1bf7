// The --exclude patterns of vorbel-pack build: shell-style patterns matched
// against entry names, ignoring letter case as Windows does. Pure functions on
// UTF-16 names: no file system access; a match never depends on the host.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorbel::pack {

// Patterns as given on the command line (UTF-8, '/' or '\' separating
// components). '*' matches any run of characters within one component, '?'
// one character other than a separator, '**' any run across components, and
// "**/" at a component's start none or any number of whole components. The
// whole entry name must match: "*.pdb" is a file at the top, "**/*.pdb" one
// anywhere. There are no escapes: Windows names cannot hold '*' or '?'.
class ExcludePatterns {
 public:
  // Nothing when `pattern` is not valid UTF-8 or empty.
  static std::optional<std::u16string> parse(std::string_view pattern);
  // `pattern` as parse gives it; `given`, as the user wrote it, for messages.
  void add(std::u16string pattern, std::string given = "") {
    patterns_.push_back({std::move(pattern), std::move(given), false});
  }
  bool empty() const { return patterns_.empty(); }

  // Whether the file `name` (backslash-separated) is left out.
  bool excludes_file(std::u16string_view name) const;
  // Whether every file below the directory `name` is left out, so that its
  // listing can be skipped whole: it matches a pattern, or a pattern ends in
  // "/**" after a part it matches.
  bool excludes_directory(std::u16string_view name) const;

  // The patterns (as given) that no name asked about so far has matched:
  // after a whole input tree, those that left nothing out. A pattern is
  // tried on a name until it first matches, even when another one excludes
  // the name already, so one made redundant by another is not among them.
  std::vector<std::string> unmatched() const;

 private:
  struct Pattern {
    std::u16string folded;  // '\' separating
    std::string given;
    mutable bool matched;  // a record of the questions asked, not of the pattern
  };
  // Whether any pattern matches, by `matches`; records each that does.
  template <class Matches>
  bool any_matches(Matches matches) const;
  std::vector<Pattern> patterns_;
};

// Whether `name` matches `pattern` (both folded and backslash-separated).
bool pattern_matches(std::u16string_view pattern, std::u16string_view name);

// For a pattern with a separator that matched nothing, as given: the same
// pattern with the leading components of an entry name in front, when that
// form matches the rest of the name ("docs/*.txt", with the added folder
// "manual" holding docs\a.txt, gives "manual/docs/*.txt"); nothing when no
// name gives one. Entry names start with the added folder's own name, which a
// pattern written from inside that folder leaves out.
std::optional<std::string> pattern_with_folder_in_front(std::string_view given,
                                                        const std::vector<std::u16string>& names);

}  // namespace vorbel::pack
