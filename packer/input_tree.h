// Turns the command line's --app and --add requests into the ordered list of
// files a payload holds, refusing anything Windows or the launcher could not
// take. Reads directory listings and file metadata only, never file contents.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packer/exclude_patterns.h"
#include "packer/result.h"

namespace vorbel::pack {

struct InputFile {
  std::filesystem::path path;  // where the contents come from, as reached (links not resolved)
  std::u16string name;         // entry name, components separated by backslashes
  uint64_t size = 0;           // when listed; the payload writer refuses a file that changed since
};

struct AddRequest {
  std::filesystem::path path;
  // As given after '=' (UTF-8, '/' or '\' separating components); nothing:
  // the path's own name. "" or "." put a directory's files at the top.
  std::optional<std::string> name;
};

// "PATH[=NAME]", split at the last '=': a PATH containing '=' needs an explicit NAME.
AddRequest parse_add_request(std::string_view argument);

// The application file first, then every other file in ordinal order of the
// UTF-16 entry names, so the same inputs always give the same list.
// Symbolic links are followed; a link that leads back into a directory being
// listed, a broken link and anything but files and directories are refused.
// Added files and directories whose entry names `exclude` matches are left
// out (the application never is). Every bad name is reported, up to
// kShownNameProblems of them, so that one run shows what to fix.
Result<std::vector<InputFile>> collect_inputs(const std::filesystem::path& app, const std::vector<AddRequest>& adds,
                                              const ExcludePatterns& exclude = {});

inline constexpr size_t kShownNameProblems = 20;

// Why these names cannot all be unpacked side by side on Windows (a bad name,
// two names for one file, a file where a directory must go), naming the
// offending host file; the list must already be in its final order. The
// failure holds the first problem, the next ones (up to kShownNameProblems in
// all) in `also`, then a count of the rest.
Status check_entry_names(const std::vector<InputFile>& files);

}  // namespace vorbel::pack
