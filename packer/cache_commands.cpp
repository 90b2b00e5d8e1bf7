// cache list|clean [PACKED.exe]: the cached mode's folders of one packed
// program (found through its settings record) or of every program below the
// default root, listed with their sizes or removed. The folders themselves
// are cache_folders.cpp's, on Windows only; elsewhere the command says so.
#include <algorithm>

#include "packer/cli_commands.h"
#include "packer/launch_settings_record.h"
#include "packer/launcher_image.h"
#include "packer/platform.h"
#include "packer/utf.h"

#ifdef _WIN32
#include "packer/cache_folders.h"
#endif

namespace vorbel::pack::cli {
namespace {

#ifdef _WIN32

// The root and, for a packed program, its application folder's name.
struct CacheScope {
  std::filesystem::path root;
  std::optional<std::string> application;
};

Result<CacheScope> scope_of(const std::optional<std::string_view>& packed_operand) {
  if (!packed_operand) {
    auto root = cache::expand_root("", {});
    if (!root.ok()) return about("the default cache root", root.failure());
    return CacheScope{root.value(), std::nullopt};
  }
  const std::filesystem::path packed_path = platform::path_from_utf8(*packed_operand);
  const std::string shown = platform::show(packed_path);
  auto packed = read_whole_file(packed_path);
  if (!packed.ok()) return packed.failure();
  auto record = settings_resource_of(packed.value());
  if (!record.ok()) return about(shown, record.failure());
  std::optional<CacheChoices> choices;
  if (record.value()) {
    if (auto described = describe_settings(*record.value()); !described.ok()) return about(shown, described.failure());
    choices = cache_choices_in(*record.value());
  }
  if (!choices) return Failure{shown, "was not packed with --cache: it keeps no cache"};
  auto root = cache::expand_root(choices->root, packed_path);
  if (!root.ok()) return about(shown, root.failure());
  return CacheScope{root.value(), choices->application};
}

int run_cache_command(bool clean, const std::optional<std::string_view>& packed_operand, Console& console) {
  auto scope = scope_of(packed_operand);
  if (!scope.ok()) return report(console, scope.failure());
  const auto folders = cache::application_folders(scope->root, scope->application);
  if (folders.empty()) {
    console.out << "no cache in " << platform::show(scope->root) << '\n';
    return kExitOk;
  }
  bool left = false;
  for (const cache::ApplicationFolder& folder : folders) {
    if (!clean) {
      uint64_t bytes = 0;
      for (const cache::CacheEntry& entry : folder.entries) bytes += entry.bytes;
      console.out << platform::show(folder.path) << ": " << bytes << " bytes\n";
      for (const cache::CacheEntry& entry : folder.entries) {
        console.out << "  " << (entry.working ? "working directory " : "bundle ")
                    << platform::show(entry.path.filename()) << ": " << entry.bytes << " bytes\n";
      }
      continue;
    }
    for (const cache::CacheEntry& entry : folder.entries) {
      if (cache::remove_entry(entry)) {
        console.out << "removed " << platform::show(entry.path) << '\n';
      } else {
        report(console, Failure{platform::show(entry.path), "is in use by a running program, not removed"});
        left = true;
      }
    }
    cache::remove_if_empty(folder.path);
  }
  return left ? kExitBadInput : kExitOk;
}

#endif

}  // namespace

// cache list|clean [PACKED.exe].
int cache_command(const std::vector<std::string>& arguments, Console& console) {
  if (std::any_of(arguments.begin() + 1, arguments.end(), asks_for_help)) return show_help(console, "cache");
  if (arguments.size() < 2 || (arguments[1] != "list" && arguments[1] != "clean")) {
    return usage_error(
        console, {arguments.size() < 2 ? "cache needs list or clean"
                                       : "unknown cache action '" + printable(arguments[1]) + "': list or clean"});
  }
  const std::string& action = arguments[1];
  std::optional<std::string_view> packed;
  for (size_t i = 2; i < arguments.size(); ++i) {
    if (arguments[i].starts_with("-") && arguments[i] != "-") {
      return usage_error(console, {"unknown option '" + printable(arguments[i]) + "' for cache " + action});
    }
    if (arguments[i].empty()) return usage_error(console, {"cache " + action + ": PACKED.exe is empty"});
    if (packed) return usage_error(console, {"cache " + action + " takes one PACKED.exe at most"});
    packed = arguments[i];
  }
#ifdef _WIN32
  return run_cache_command(action == "clean", packed, console);
#else
  return report(console, Failure{"",
                                 "cache works only in the Windows build tool (vorbel-pack.exe, run as the "
                                 "program's user): a cache lies in a Windows user's folders, and only Windows "
                                 "tells whether a running program still uses a bundle"});
#endif
}

}  // namespace vorbel::pack::cli
