// The options of build and embed; see pack_options.h. Every refusal is a
// UsageError naming the option; the help text that describes the options is
// cli_help.cpp's.
#include "packer/pack_options.h"

#include <algorithm>
#include <string_view>
#include <thread>

#include "packer/platform.h"
#include "packer/utf.h"
#include "payload/payload_format.h"

namespace vorbel::pack::cli {
namespace {

std::optional<int> parse_number(std::string_view text, int low, int high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

int default_threads() {
  unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : static_cast<int>(std::min<unsigned>(hardware, kMaxThreads));
}

// The application's folder for --cache: the product name, else the output's
// name without ".exe" (any letter case); nothing when that name is no Unicode.
std::optional<std::string> application_folder_of(const BuildOptions& options) {
  if (options.edits.version.product_name) return *options.edits.version.product_name;
  auto name = platform::name_as_utf16(options.output->filename());
  if (!name) return std::nullopt;
  if (name->size() >= 4) {
    std::u16string extension = name->substr(name->size() - 4);
    for (char16_t& unit : extension) {
      if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit + (u'a' - u'A'));
    }
    if (extension == u".exe") name->resize(name->size() - 4);
  }
  return utf16_to_utf8(*name);
}

// Completes the cache section from the other options, or says why it cannot be made.
std::optional<UsageError> cache_choices_problem(BuildOptions* options) {
  if (!options->settings.cache) {
    if (options->cache_dir) return UsageError{"--cache-dir is the root of --cache, which was not given"};
    return std::nullopt;
  }
  CacheChoices& cache = *options->settings.cache;
  if (options->cache_dir) {
    if (auto problem = cache_root_problem(*options->cache_dir)) return UsageError{*problem};
    cache.root = *options->cache_dir;
  }
  const bool named = options->edits.version.product_name.has_value();
  const std::string source = named ? "--product-name" : "the name of " + platform::show(*options->output);
  auto application = application_folder_of(*options);
  if (!application) {
    return UsageError{"--cache needs an application folder name, and " + source +
                      " is not valid Unicode: give --product-name"};
  }
  if (auto problem = application_folder_problem(*application)) {
    return UsageError{"the application folder name '" + printable(*application) + "' (from " + source +
                      ") cannot be a folder name: " + *problem + (named ? "" : "; give --product-name")};
  }
  cache.application = *application;
  return std::nullopt;
}

// Reads the option at arguments[*i], and its value, which leaves *i on it.
std::optional<UsageError> parse_option(const std::vector<std::string>& arguments, size_t* i, bool embed,
                                       BuildOptions* options) {
  std::string_view argument = arguments[*i];
  std::string_view name = argument;
  std::optional<std::string_view> attached;
  if (argument.starts_with("--") && argument.find('=') != std::string_view::npos) {
    name = argument.substr(0, argument.find('='));
    attached = argument.substr(argument.find('=') + 1);
  }
  const auto value = [&]() -> std::optional<std::string_view> {
    if (attached) return attached;
    if (*i + 1 < arguments.size()) return std::string_view(arguments[++*i]);
    return std::nullopt;
  };
  const auto missing = [&] { return UsageError{"option " + std::string(name) + " needs a value"}; };
  const auto path_option = [&](std::optional<fs::path>* slot) -> std::optional<UsageError> {
    auto text = value();
    if (!text || text->empty()) return missing();
    if (*slot) return UsageError{"option " + std::string(name) + " given twice"};
    *slot = platform::path_from_utf8(*text);
    return std::nullopt;
  };
  std::optional<UsageError> error;
  auto version = std::find_if(kVersionOptions.begin(), kVersionOptions.end(),
                              [&](const VersionOption& o) { return o.option == name; });
  if (version != kVersionOptions.end()) {
    auto text = value();
    if (!text) return missing();
    std::optional<std::string>& slot = options->edits.version.*version->member;
    if (slot) return UsageError{"option " + std::string(name) + " given twice"};
    slot = std::string(*text);
  } else if (name == "--icon") {
    error = path_option(&options->edits.icon);
  } else if (name == "--manifest") {
    error = path_option(&options->edits.manifest);
  } else if (name == "--launcher") {
    error = path_option(&options->launcher);
  } else if (name == "-o" || name == "--output") {
    error = path_option(&options->output);
  } else if (embed && name == "--payload") {
    error = path_option(&options->payload);
  } else if (!embed && name == "--app") {
    error = path_option(&options->app);
  } else if (!embed && name == "--add") {
    auto text = value();
    if (!text || text->empty()) return missing();
    options->adds.push_back(parse_add_request(*text));
  } else if (!embed && name == "--exclude") {
    auto text = value();
    if (!text) return missing();
    auto pattern = ExcludePatterns::parse(*text);
    if (!pattern) return UsageError{"--exclude takes a pattern in UTF-8, not '" + printable(*text) + "'"};
    options->exclude.add(std::move(*pattern), std::string(*text));
  } else if (!embed && name == "--level") {
    auto text = value();
    if (!text) return missing();
    auto level = parse_number(*text, kMinLevel, kMaxLevel);
    if (!level) return UsageError{"--level takes a number from 1 to 22, not '" + printable(*text) + "'"};
    options->compression.level = *level;
  } else if (!embed && name == "--long") {
    auto window_log = attached ? parse_number(*attached, kMinWindowLog, PAYLOAD_MAX_WINDOW_LOG) : kDefaultLongWindowLog;
    if (!window_log) return UsageError{"--long= takes a window log from 10 to 27, not '" + printable(*attached) + "'"};
    options->compression.long_window_log = *window_log;
  } else if (!embed && name == "--threads") {
    auto text = value();
    if (!text) return missing();
    auto threads = parse_number(*text, 1, kMaxThreads);
    if (!threads) return UsageError{"--threads takes a number from 1 to 200, not '" + printable(*text) + "'"};
    options->compression.threads = *threads;
  } else if (!embed && name == "--search-path") {
    auto text = value();
    if (!text || text->empty()) return missing();
    options->search_path.push_back(platform::path_from_utf8(*text));
  } else if (!embed && argument == "--strict") {
    options->strict = true;
  } else if (argument == "--console") {
    options->console = true;
  } else if (name == "--arg") {
    auto text = value();
    if (!text) return missing();
    if (auto problem = built_in_argument_problem(std::string(*text))) return UsageError{*problem};
    options->settings.arguments.emplace_back(*text);
  } else if (argument == "--exact-arguments") {
    options->settings.exact_arguments = true;
  } else if (argument == "--error-dialog") {
    options->settings.error_dialog = true;
  } else if (argument == "--progress-window") {
    options->settings.progress_window = true;
  } else if (argument == "--progress") {
    options->settings.progress_line = true;
  } else if (argument == "--cache") {
    options->settings.cache = CacheChoices{};
  } else if (name == "--cache-dir") {
    auto text = value();
    if (!text || text->empty()) return missing();
    if (options->cache_dir) return UsageError{"option --cache-dir given twice"};
    options->cache_dir = std::string(*text);
  } else if (!argument.starts_with("-")) {
    return UsageError{"unexpected argument '" + printable(argument) + "' for " + arguments[0]};
  } else {
    return UsageError{"unknown option '" + printable(argument) + "' for " + arguments[0]};
  }
  return error;
}

}  // namespace

std::optional<UsageError> parse_pack_options(const std::vector<std::string>& arguments, bool embed,
                                             const fs::path& tool_directory, BuildOptions* options) {
  options->compression.threads = default_threads();
  std::optional<UsageError> first_error;
  for (size_t i = 1; i < arguments.size(); ++i) {
    // Help is asked wherever an option may stand, whatever mistake is beside
    // it; an option's value is never taken for it ("--arg --help").
    if (asks_for_help(arguments[i])) {
      options->help = true;
      continue;
    }
    if (auto error = parse_option(arguments, &i, embed, options); error && !first_error) first_error = error;
  }
  if (options->help) return std::nullopt;
  if (first_error) return first_error;
  if (!options->launcher) options->launcher = default_launcher(tool_directory);
  if (!options->launcher) {
    return UsageError{arguments[0] + " needs --launcher: there is no launcher.exe beside vorbel-pack" +
                      (tool_directory.empty() ? "" : " (" + platform::show(tool_directory) + ")") +
                      " nor in ../share/vorbel/ from there"};
  }
  if (options->settings.error_dialog && options->console) {
    return UsageError{
        "--error-dialog is for GUI programs: a console program's errors are on its console, so it "
        "cannot be given with --console"};
  }
  if (options->settings.progress_window && options->console) {
    return UsageError{
        "--progress-window is for GUI programs: with --console, give --progress for a line on the console "
        "instead"};
  }
  if (options->settings.progress_window && options->settings.progress_line) {
    return UsageError{
        "--progress-window and --progress cannot be given together: the window is for GUI programs, "
        "the line for console programs (--console)"};
  }
  if (embed && !options->payload) return UsageError{"embed needs --payload"};
  if (!embed && !options->app) return UsageError{"build needs --app"};
  if (!options->output) return UsageError{arguments[0] + " needs -o OUT.exe"};
  return cache_choices_problem(options);
}

std::optional<fs::path> default_launcher(const fs::path& tool_directory) {
  if (tool_directory.empty()) return std::nullopt;
  for (const fs::path& candidate :
       {tool_directory / "launcher.exe", tool_directory / ".." / "share" / "vorbel" / "launcher.exe"}) {
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate.lexically_normal();
  }
  return std::nullopt;
}

}  // namespace vorbel::pack::cli
