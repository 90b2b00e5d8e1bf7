// The cached mode's folders as `vorbel-pack cache` sees them on Windows: the
// root a packed program's record names, the application folders in it, their
// bundles and working directories with their sizes, and their removal through
// the launcher's own locked removal. Windows only: whether a start still uses
// a bundle is a lock file it holds without sharing, which only Windows tells.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packer/result.h"

namespace vorbel::pack::cache {

// A bundle or a first start's working directory, with the bytes of its files.
struct CacheEntry {
  std::filesystem::path path;
  uint64_t bytes = 0;
  bool working = false;
};

struct ApplicationFolder {
  std::filesystem::path path;
  std::vector<CacheEntry> entries;
};

// The root spec (empty: the default) expanded as the launcher expands it for
// `program` (its {PROGRAM...} names; empty when there is none). {PRODUCT}
// and {VERSION} are the launcher's own build's, which the tool cannot know:
// a failure that says so, as for any reference the launcher would refuse.
Result<std::filesystem::path> expand_root(std::string_view spec, const std::filesystem::path& program);

// The application folders below root that hold a bundle or a working
// directory: with an application name, that name and its numbered forms
// (".2" to ".8"), as the launcher uses them; without one, every folder of
// the root. Only the user's own directories, never a link, and of those
// only entries that hold the launcher's lock or record.
std::vector<ApplicationFolder> application_folders(const std::filesystem::path& root,
                                                   const std::optional<std::string>& application);

// Removes one entry unless a process uses it (its lock held, a file held
// open, a working directory whose first start still runs): true when it is
// gone.
bool remove_entry(const CacheEntry& entry);

// Removes the folder if nothing is left in it.
void remove_if_empty(const std::filesystem::path& folder);

}  // namespace vorbel::pack::cache
