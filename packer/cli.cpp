// The command line of vorbel-pack; see cli.h. Every failure ends here as one
// line "vorbel-pack: FILE: problem" (usage errors add a hint and exit 2, bad
// input exits 1); nothing reaches the output path before the image is complete.
#include "packer/cli.h"

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

#include "packer/app_checks.h"
#include "packer/console_subsystem.h"
#include "packer/entry_names.h"
#include "packer/exclude_patterns.h"
#include "packer/input_tree.h"
#include "packer/launch_settings_record.h"
#include "packer/launcher_image.h"
#include "packer/payload_inspect.h"
#include "packer/payload_writer.h"
#include "packer/pe_image.h"
#include "packer/platform.h"
#include "packer/progress.h"
#include "packer/sha256.h"
#include "packer/utf.h"
#include "payload/launch_settings_format.h"
#include "payload/payload_format.h"
#include "payload/payload_stream.h"

#ifndef VORBEL_PACK_VERSION
#define VORBEL_PACK_VERSION "0.0.0"
#endif

namespace vorbel::pack {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kUsage =
    "usage: vorbel-pack build [--launcher LAUNCHER.exe] --app APP.dll [--add PATH[=NAME]]...\n"
    "                         [--exclude PATTERN]... [--level N] [--long[=WLOG]] [--threads N]\n"
    "                         [--search-path DIR]... [--strict] [--console] [RUN OPTIONS] [RESOURCE OPTIONS]\n"
    "                         -o OUT.exe\n"
    "       vorbel-pack embed [--launcher LAUNCHER.exe] --payload FILE [--console] [RUN OPTIONS] [RESOURCE OPTIONS]\n"
    "                         -o OUT.exe\n"
    "       vorbel-pack list|verify PACKED.exe\n"
    "       vorbel-pack extract PACKED.exe DIR\n";

constexpr std::string_view kHelp = R"(
Packs an application into a copy of the launcher, or inspects a packed one.

build     Makes OUT.exe: the launcher with a payload of files. APP.dll comes
          first, under its own file name; then every file given with --add, in
          ordinal order of their UTF-16 names, so the same inputs always give
          the same bytes (no time stamps are stored).
  --add PATH         a file under its own name, or a directory's files under
                     the directory's name ("--add assets" gives assets\...)
  --add PATH=NAME    the same under NAME; for a directory, NAME "." or ""
                     puts its files at the top. '/' and '\' both separate
                     components. The last '=' splits, so a PATH containing
                     '=' needs an explicit NAME. A NAME ending in a
                     separator means into that folder: "notes.txt=docs/"
                     gives docs\notes.txt.
  --exclude PATTERN  leave out the added files whose entry names match
                     (repeatable; never APP.dll). '*' matches within one
                     component, '?' one character, '**' across components,
                     "**/" none or more whole components; the whole name
                     must match, letter case ignored: "**/*.pdb" anywhere,
                     "*.pdb" at the top only, "share/doc/**" a folder.
                     A folder that matches is not even listed.
  --level N          compression level 1-22 (default 19); 20-22 make the
                     launcher's decoder reserve 32-128 MiB (at most the
                     payload's size), as --long does
  --long[=WLOG]      long-distance matching with a window of 2^WLOG bytes,
                     WLOG 10-27 (default 27). Smaller files, but the launcher's
                     decoder then needs up to that window (or the payload's
                     size if smaller) in memory at every start.
  --threads N        compression threads, 1-200 (default: all hardware
                     threads); the output is the same for every N
  --search-path DIR  a folder to take missing DLLs from (repeatable, looked
                     in in the order given): each DLL that APP.dll or a DLL
                     of the payload imports and that neither Windows nor the
                     payload provides is added at the top from the first
                     folder that holds it, and its own imports in turn
  --strict           a DLL still missing is an error, not a warning: nothing
                     is written
  --console          make OUT.exe a console program (build and embed): a
                     console starts or is shared, cmd.exe waits for it, and
                     the application's standard streams are the console's
  --launcher FILE    the launcher to pack into (default: launcher.exe beside
                     vorbel-pack, else ../share/vorbel/launcher.exe from it)

          Before packing, APP.dll must be an x86-64 DLL that exports run_code;
          each DLL that APP.dll or a DLL of the payload imports and that neither
          Windows nor the payload provides is named in a warning (with the
          mingw-w64 toolchain folder that holds it, if any), and so are names
          whose unpacked paths would pass Windows' 260-unit limit under a
          typical %TEMP%. OUT.exe must not be the launcher, APP.dll or an added
          file.

embed     Makes OUT.exe from a payload resource made before ("VUQ" followed by
          a Zstandard frame), taken as is; a frame without a content checksum
          gets a warning.
list      Prints size and name of every entry, then the subsystem (GUI or
          console) and the settings record (or "settings: none"), with a
          "cache:" line for the cached mode.
extract   Unpacks every entry into DIR (created if missing, must be empty).
verify    Reads every entry, checks every name and the frame's checksum, and
          reports the window the launcher's decoder will need, the subsystem
          and the settings record. A frame without a checksum passes with a
          warning, and so do bytes decoded after the end marker: the launcher
          runs both. For the cached mode the bundle id
          must be the payload's own; another one is a damaged image.

Run options (build and embed): kept in the packed program's settings record
(RT_RCDATA 28), which list and verify show; a launcher built before the record
cannot take them.
  --arg TEXT         a fixed argument put before the user's (repeatable, in
                     order; at most 64). {CONTENTS} in TEXT stands for the
                     extraction directory, {{ and }} for literal braces; any
                     other brace is refused. Nothing else is expanded: the
                     application gets TEXT exactly, wildcards included.
  --exact-arguments  the user's arguments reach the application exactly as
                     CommandLineToArgvW splits the command line: empty ones
                     kept, wildcards not expanded
  --error-dialog     a GUI program (not with --console) also shows the
                     launcher's own errors in a message box, when it runs on
                     a desktop someone sees (never in a service or a
                     scheduled task)
  --cache            extract once: the first start unpacks into a kept,
                     per-user folder ROOT\APPLICATION\BUNDLE and later starts
                     run from there without unpacking. APPLICATION is the
                     --product-name text, else OUT.exe's name without .exe;
                     BUNDLE is a hash of the payload, so a changed payload
                     gets a folder of its own. Needs a launcher that reads
                     settings version 2.
  --cache-dir SPEC   ROOT for --cache (default {CACHE_DIR}, the user's local
                     application data): an absolute directory spec that
                     begins with {CACHE_DIR}, {HOME}, {TEMP}, {PROGRAM_DIR},
                     a drive (C:\) or \\server\share, and may use {PRODUCT},
                     {VERSION}, {PROGRAM_BASE} and the rest of the launcher's
                     names, but not {PID} or {TIME}

Resource options (build and embed): the packed program's own face.
  --icon FILE.ico    every image of FILE.ico replaces the launcher's icon
  --manifest FILE    FILE (UTF-8 XML) replaces the launcher's manifest
  --product-name TEXT, --product-version TEXT, --file-version TEXT,
  --file-description TEXT, --company-name TEXT, --copyright TEXT,
  --original-filename TEXT, --internal-name TEXT
                     strings of the version resource; a version's leading
                     numbers ("2.1" is 2.1.0.0) also go into its fixed part.
                     OriginalFilename is OUT.exe's name and InternalName its
                     stem unless given; FileDescription follows the product
                     name and FileVersion the product version unless given.

Every bad name is reported in one run (the first 20, then a count).
A packed program must stay below 2 GiB, the most Windows loads: an input too
large even for the best compression is refused at once, and compression
stops as soon as its output alone has passed that size.

Files and names: only files are stored; empty directories are not kept.
Symbolic links are followed and stored under the link's own name; a link back
to a directory it is inside, a broken link, devices, pipes and sockets are
refused, as is any file that cannot be read. Host names must be UTF-8. Entry names must be names Windows
can hold: at most 1023 UTF-16 units, relative, no empty, "." or ".."
components, none of < > : " | ? * or control characters, no component made
only of dots and blanks or ending in one, no device name (CON, PRN, AUX, NUL,
COM1-9, LPT1-9, CONIN$, CONOUT$, with or without extension), no two names for
one file and no file where another name needs a directory. Names are compared
ignoring case for ASCII, Latin-1, Latin Extended-A and Additional, Greek,
Cyrillic, Armenian and fullwidth letters; other scripts are compared exactly.

A signed launcher loses its signature: sign OUT.exe after packing.
Exit status: 0 done, 1 bad input (one line names the file), 2 usage error.
)";

// Said of a payload frame that the launcher runs all the same.
constexpr std::string_view kNoChecksum =
    "the payload frame carries no content checksum, so damage to the packed files cannot be detected";

// Failure of the command line itself: exit 2 with the usage hint.
struct UsageError {
  std::string problem;
};

struct BuildOptions {
  std::optional<fs::path> launcher;
  std::optional<fs::path> app;
  std::vector<AddRequest> adds;
  ExcludePatterns exclude;
  std::optional<fs::path> payload;  // embed only
  std::optional<fs::path> output;
  CompressionSettings compression;
  bool console = false;               // OUT.exe gets the console subsystem
  std::vector<fs::path> search_path;  // folders that missing DLLs are taken from
  bool strict = false;                // a DLL still missing stops the build
  ResourceEdits edits;
  SettingsChoices settings;
  std::optional<std::string> cache_dir;  // --cache-dir, checked once --cache is known
};

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

// Options of build and embed: "--name value", "--name=value", "-o value".
// launcher.exe beside the tool (dist/), or where an installation puts it.
std::optional<fs::path> default_launcher(const fs::path& tool_directory) {
  if (tool_directory.empty()) return std::nullopt;
  for (const fs::path& candidate :
       {tool_directory / "launcher.exe", tool_directory / ".." / "share" / "vorbel" / "launcher.exe"}) {
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate.lexically_normal();
  }
  return std::nullopt;
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

std::optional<UsageError> parse_options(const std::vector<std::string>& arguments, bool embed,
                                        const fs::path& tool_directory, BuildOptions* options) {
  options->compression.threads = default_threads();
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    std::string_view name = argument;
    std::optional<std::string_view> attached;
    if (argument.starts_with("--") && argument.find('=') != std::string_view::npos) {
      name = argument.substr(0, argument.find('='));
      attached = argument.substr(argument.find('=') + 1);
    }
    const auto value = [&]() -> std::optional<std::string_view> {
      if (attached) return attached;
      if (i + 1 < arguments.size()) return std::string_view(arguments[++i]);
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
      options->exclude.add(std::move(*pattern));
    } else if (!embed && name == "--level") {
      auto text = value();
      if (!text) return missing();
      auto level = parse_number(*text, kMinLevel, kMaxLevel);
      if (!level) return UsageError{"--level takes a number from 1 to 22, not '" + printable(*text) + "'"};
      options->compression.level = *level;
    } else if (!embed && name == "--long") {
      auto window_log =
          attached ? parse_number(*attached, kMinWindowLog, PAYLOAD_MAX_WINDOW_LOG) : kDefaultLongWindowLog;
      if (!window_log)
        return UsageError{"--long= takes a window log from 10 to 27, not '" + printable(*attached) + "'"};
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
    if (error) return error;
  }
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
  if (embed && !options->payload) return UsageError{"embed needs --payload"};
  if (!embed && !options->app) return UsageError{"build needs --app"};
  if (!options->output) return UsageError{arguments[0] + " needs -o OUT.exe"};
  return cache_choices_problem(options);
}

int report(Console& console, const Failure& failure) {
  console.err << "vorbel-pack: ";
  if (!failure.file.empty()) console.err << failure.file << ": ";
  console.err << failure.problem << '\n';
  for (const Failure& more : failure.also) report(console, more);
  return kExitBadInput;
}

int usage_error(Console& console, const UsageError& error) {
  console.err << "vorbel-pack: " << error.problem << '\n' << kUsage << "Try 'vorbel-pack --help' for more.\n";
  return kExitUsage;
}

// `payload` holds the payload of a streamed image, else nothing.
int finish_packing(Console& console, const fs::path& launcher_path, const Result<PackedImage>& packed,
                   std::FILE* payload, const fs::path& output, ProgressReporter* progress = nullptr,
                   const std::optional<Sha256Digest>& payload_digest = std::nullopt) {
  const auto failed = [&](const Failure& failure) {
    if (progress) progress->abandon();
    return report(console, failure);
  };
  if (!packed.ok()) return failed(about(platform::show(launcher_path), packed.failure()));
  if (Status written = write_image_atomically(output, packed.value(), payload, payload_digest); !written.ok())
    return failed(written.failure());
  if (progress) progress->finish(packed->file.size() + packed->payload_size);
  if (packed->signature_removed) {
    console.err << "vorbel-pack: " << platform::show(launcher_path)
                << ": its Authenticode signature was removed, because packing invalidates it; sign "
                << platform::show(output) << " after packing\n";
  }
  return kExitOk;
}

// The options given that only a settings record carries, for the refusal
// of a launcher that cannot read one.
std::string settings_options_of(const SettingsChoices& settings) {
  std::string named;
  const auto add = [&](bool given, const char* option) {
    if (given) named += (named.empty() ? "" : ", ") + std::string(option);
  };
  add(!settings.arguments.empty(), "--arg");
  add(settings.exact_arguments, "--exact-arguments");
  add(settings.error_dialog, "--error-dialog");
  add(settings.cache.has_value(), "--cache");
  return named;
}

// The subsystem is set before packing: the image writer copies the headers
// and computes the checksum over the final bytes.
Result<std::vector<uint8_t>> read_launcher(const fs::path& path, const SettingsChoices& settings,
                                           bool console_subsystem) {
  auto launcher = read_whole_file(path);
  if (!launcher.ok()) return launcher;
  if (Status usable = check_launcher(launcher.value(), settings_options_of(settings), settings.version()); !usable.ok())
    return about(platform::show(path), usable.failure());
  // A packed console program used as the launcher keeps its subsystem.
  if (auto subsystem = subsystem_of(launcher.value());
      settings.error_dialog && subsystem.ok() && subsystem.value() == kSubsystemConsole) {
    return Failure{platform::show(path),
                   "is a console program, and so would the packed one be: --error-dialog is "
                   "for GUI programs"};
  }
  if (console_subsystem) {
    if (Status set = set_subsystem(launcher.value(), kSubsystemConsole); !set.ok())
      return about(platform::show(path), set.failure());
  }
  return launcher;
}

// The record to write, or nothing when no option asks for one. The cached
// mode's bundle id is known only once the payload is written: before that a
// stand-in checks the rest, so that a bad choice stops before compressing.
Result<std::optional<std::vector<uint8_t>>> settings_record_of(
    SettingsChoices settings, const std::optional<Sha256Digest>& payload_digest = std::nullopt) {
  if (!settings.any()) return std::optional<std::vector<uint8_t>>();
  if (settings.cache) {
    settings.cache->bundle_id =
        payload_digest ? bundle_id_of(*payload_digest) : std::string(LAUNCH_BUNDLE_ID_UNITS, '0');
  }
  auto record = make_settings_record(settings);
  if (!record.ok()) return record.failure();
  return std::optional<std::vector<uint8_t>>(std::move(record.value()));
}

// Every zstd block holds at most 128 KiB of content and takes at least 4
// bytes (a 3-byte header and one byte of RLE or compressed content), so no
// input compresses below this; past kMaxImageBytes nothing needs compressing
// to know the packed program could not be loaded.
std::optional<Failure> surely_too_large(uint64_t content_bytes, const fs::path& output) {
  const uint64_t smallest = PAYLOAD_HEADER_SIZE + 4 * ((content_bytes + (uint64_t{1} << 17) - 1) >> 17);
  if (smallest <= pe::kMaxImageBytes) return std::nullopt;
  return Failure{platform::show(output), "cannot be made: the input is " + std::to_string(content_bytes) +
                                             " bytes, which even the best compression leaves at " +
                                             std::to_string(smallest) + ", more than the " +
                                             std::to_string(pe::kMaxImageBytes) + " bytes (2 GiB) Windows can load"};
}

// Compresses into a scratch file beside the output, so that memory does not
// grow with the input; the scratch file goes whatever happens.
int pack_streamed(Console& console, const BuildOptions& options, const std::vector<InputFile>& files,
                  std::vector<uint8_t> launcher, const PreparedEdits& edits) {
  const fs::path& output = *options.output;
  if (auto problem = surely_too_large(payload_content_size(files), output)) return report(console, *problem);
  auto payload = ScratchFile::create_beside(output, "payload");
  if (!payload.ok()) return report(console, payload.failure());
  Sha256 payload_hash;
  const auto sink = [&](std::span<const uint8_t> bytes) -> Status {
    payload_hash.update(bytes);
    if (std::fwrite(bytes.data(), 1, bytes.size(), payload->file()) == bytes.size()) return done();
    return Failure{platform::show(payload->path()), "cannot write: " + platform::error_text(errno)};
  };
  ProgressReporter progress(console.err, console.show_progress, payload_content_size(files), files.size());
  auto size = stream_payload_resource(
      files, options.compression, sink, [&](uint64_t compressed) { progress.compressed(compressed); },
      pe::kMaxImageBytes);
  progress.stop();
  Status read_back = size.ok() ? payload->finish_writing(false, true) : Status(size.failure());
  if (!read_back.ok()) {
    progress.abandon();
    return report(console, about(platform::show(output), read_back.failure()));
  }
  auto settings = settings_record_of(options.settings, payload_hash.finish());
  if (!settings.ok()) {
    progress.abandon();
    return report(console, settings.failure());
  }
  auto packed = embed_streamed_payload(std::move(launcher), size.value(), edits, std::move(settings.value()),
                                       platform::show(output));
  return finish_packing(console, *options.launcher, packed, payload->file(), output, &progress);
}

int build(const std::vector<std::string>& arguments, Console& console) {
  BuildOptions options;
  if (auto error = parse_options(arguments, false, console.tool_directory, &options))
    return usage_error(console, *error);
  for (const fs::path& folder : options.search_path) {
    std::error_code error;
    if (!fs::is_directory(folder, error))
      return report(console, Failure{platform::show(folder), "is not a folder (--search-path)"});
  }
  const size_t requested = options.adds.size();
  auto adds = with_search_path_dlls(*options.app, std::move(options.adds), options.search_path);
  if (!adds.ok()) return report(console, adds.failure());
  auto files = collect_inputs(*options.app, adds.value(), options.exclude);
  if (!files.ok()) return report(console, files.failure());
  if (options.settings.cache) {
    for (const InputFile& file : files.value()) {
      if (auto problem = cached_entry_name_problem(file.name))
        return report(console, Failure{platform::show(file.path), *problem});
    }
  }
  for (size_t i = requested; i < adds->size(); ++i)
    console.err << "vorbel-pack: adding " << platform::show(adds.value()[i].path) << " (--search-path)\n";
  std::vector<NamedInput> inputs = {{*options.launcher, "the launcher (--launcher)"},
                                    {*options.app, "the application (--app)"}};
  for (size_t i = 1; i < files->size(); ++i) {
    inputs.push_back({files.value()[i].path, "the added file " + printable(files.value()[i].name)});
  }
  if (auto problem = output_problem(*options.output, inputs)) return report(console, *problem);
  auto app = read_whole_file(*options.app);
  if (!app.ok()) return report(console, app.failure());
  if (Status usable = check_application(app.value()); !usable.ok())
    return report(console, about(platform::show(*options.app), usable.failure()));
  auto edits = prepare_resource_edits(options.edits, *options.output);
  if (!edits.ok()) return report(console, edits.failure());
  auto launcher = read_launcher(*options.launcher, options.settings, options.console);
  if (!launcher.ok()) return report(console, launcher.failure());
  auto settings = settings_record_of(options.settings);
  if (!settings.ok()) return report(console, settings.failure());
  const std::vector<std::string> missing = missing_dll_warnings(files.value(), platform::toolchain_dll_folders());
  for (const std::string& line : missing)
    console.err << "vorbel-pack: " << (options.strict ? "" : "warning: ") << line << '\n';
  if (options.strict && !missing.empty()) {
    return report(console, Failure{platform::show(*options.output),
                                   "not written: --strict refuses DLLs that neither Windows nor the payload provides"});
  }
  if (auto warning = long_path_warning(files.value())) console.err << "vorbel-pack: warning: " << *warning << '\n';
  return pack_streamed(console, options, files.value(), std::move(launcher.value()), edits.value());
}

// The digest of the first `size` bytes of `file`, which is left at its start.
Result<Sha256Digest> hash_file_start(std::FILE* file, uint64_t size) {
  Sha256 hash;
  std::vector<uint8_t> chunk(size_t{1} << 20);
  for (uint64_t left = size; left != 0;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    if (std::fread(chunk.data(), 1, want, file) != want)
      return Failure{"", "cannot read: " + (std::ferror(file) ? platform::error_text(errno) : "it became shorter")};
    hash.update(std::span(chunk).first(want));
    left -= want;
  }
  if (std::fseek(file, 0, SEEK_SET) != 0) return Failure{"", "cannot read: " + platform::error_text(errno)};
  return hash.finish();
}

int embed(const std::vector<std::string>& arguments, Console& console) {
  BuildOptions options;
  if (auto error = parse_options(arguments, true, console.tool_directory, &options))
    return usage_error(console, *error);
  if (auto problem = output_problem(*options.output, {{*options.launcher, "the launcher (--launcher)"},
                                                      {*options.payload, "the payload (--payload)"}}))
    return report(console, *problem);
  auto edits = prepare_resource_edits(options.edits, *options.output);
  if (!edits.ok()) return report(console, edits.failure());
  // Streamed from its file like build's: only its first bytes are read here.
  const fs::path& payload_path = *options.payload;
  std::error_code error;
  if (fs::is_directory(payload_path, error))
    return report(console, Failure{platform::show(payload_path), "is a directory, not a file"});
  int error_number = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> payload(platform::open_for_reading(payload_path, &error_number),
                                                          &std::fclose);
  if (!payload)
    return report(console, Failure{platform::show(payload_path), "cannot open: " + platform::error_text(error_number)});
  const uint64_t size = fs::file_size(payload_path, error);
  if (error) return report(console, Failure{platform::show(payload_path), "cannot read its size: " + error.message()});
  std::vector<uint8_t> head(64);
  head.resize(std::fread(head.data(), 1, head.size(), payload.get()));
  if (std::ferror(payload.get()) || std::fseek(payload.get(), 0, SEEK_SET) != 0)
    return report(console, Failure{platform::show(payload_path), "cannot read: " + platform::error_text(errno)});
  if (!payload_header_present(head.data(), head.size())) {
    return report(console,
                  Failure{platform::show(payload_path), "is not a payload resource: it does not begin with \"VUQ\""});
  }
  auto launcher = read_launcher(*options.launcher, options.settings, options.console);
  if (!launcher.ok()) return report(console, launcher.failure());
  auto settings = settings_record_of(options.settings);
  if (!settings.ok()) return report(console, settings.failure());
  // The bundle id needs the whole payload; its copy into the output is
  // hashed again, so a payload that changes in between is caught.
  std::optional<Sha256Digest> payload_digest;
  if (options.settings.cache && size <= pe::kMaxImageBytes) {
    auto digest = hash_file_start(payload.get(), size);
    if (!digest.ok()) return report(console, about(platform::show(payload_path), digest.failure()));
    payload_digest = digest.value();
    settings = settings_record_of(options.settings, payload_digest);
    if (!settings.ok()) return report(console, settings.failure());
  }
  if (lacks_content_checksum(head)) {
    console.err << "vorbel-pack: warning: " << platform::show(payload_path) << ": " << kNoChecksum
                << " (by verify or by the launcher)\n";
  }
  if (size > pe::kMaxImageBytes) {
    return report(console,
                  Failure{platform::show(*options.output),
                          "cannot be made: the payload alone is " + std::to_string(size) + " bytes, more than the " +
                              std::to_string(pe::kMaxImageBytes) + " bytes (2 GiB) Windows can load"});
  }
  auto packed = embed_streamed_payload(std::move(launcher.value()), size, edits.value(), std::move(settings.value()),
                                       platform::show(*options.output));
  return finish_packing(console, *options.launcher, packed, payload.get(), *options.output, nullptr, payload_digest);
}

std::string binary_size(uint64_t bytes) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1);
  if (bytes < 1048576) {
    text << bytes / 1024.0 << " KiB";
  } else {
    text << bytes / 1048576.0 << " MiB";
  }
  return text.str();
}

// How the packed program runs, for list and verify: "subsystem: GUI" or
// "subsystem: console", then its settings record's lines or "settings: none".
// *bundle_id gets the cached mode's bundle id, if the record has one.
Result<std::vector<std::string>> run_facts(const std::vector<uint8_t>& packed, std::optional<std::string>* bundle_id) {
  auto subsystem = subsystem_of(packed);
  if (!subsystem.ok()) return subsystem.failure();
  std::string kind = subsystem.value() == kSubsystemGui       ? "GUI"
                     : subsystem.value() == kSubsystemConsole ? "console"
                                                              : "other (" + std::to_string(subsystem.value()) + ")";
  std::vector<std::string> lines = {"subsystem: " + kind};
  auto record = settings_resource_of(packed);
  if (!record.ok()) return record.failure();
  if (!record.value()) {
    lines.push_back("settings: none");
    return lines;
  }
  auto described = describe_settings(*record.value());
  if (!described.ok()) return described.failure();
  *bundle_id = bundle_id_in(*record.value());
  lines.insert(lines.end(), described->begin(), described->end());
  return lines;
}

// list, extract and verify: PACKED.exe [DIR].
int inspect(const std::vector<std::string>& arguments, Console& console) {
  const std::string& command = arguments[0];
  std::vector<std::string_view> operands;
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i].starts_with("-") && arguments[i] != "-") {
      return usage_error(console, {"unknown option '" + printable(arguments[i]) + "' for " + command});
    }
    operands.push_back(arguments[i]);
  }
  const size_t wanted = command == "extract" ? 2 : 1;
  if (operands.size() != wanted || operands[0].empty() || (wanted == 2 && operands[1].empty())) {
    return usage_error(console, {command + (wanted == 2 ? " needs PACKED.exe and DIR" : " needs PACKED.exe")});
  }
  const fs::path packed_path = platform::path_from_utf8(operands[0]);
  const std::string shown = platform::show(packed_path);
  auto packed = read_whole_file(packed_path);
  if (!packed.ok()) return report(console, packed.failure());
  std::optional<std::string> bundle_id;
  auto facts_lines = run_facts(packed.value(), &bundle_id);
  if (!facts_lines.ok()) return report(console, about(shown, facts_lines.failure()));
  auto resource = payload_resource_of(std::move(packed.value()));
  if (!resource.ok()) return report(console, about(shown, resource.failure()));

  if (command == "list") {
    if (Status listed = list_payload(resource.value(), console.out); !listed.ok()) {
      return report(console, about(shown, listed.failure()));
    }
    for (const std::string& line : facts_lines.value()) console.out << line << '\n';
    return kExitOk;
  }
  if (command == "extract") {
    Status extracted = extract_payload(resource.value(), platform::path_from_utf8(operands[1]));
    if (!extracted.ok()) return report(console, about(shown, extracted.failure()));
    return kExitOk;
  }
  auto verified = verify_payload(resource.value());
  if (!verified.ok()) return report(console, about(shown, verified.failure()));
  if (bundle_id) {
    // The launcher trusts the id to name these files: under another payload's
    // id a cached start would run that payload's extraction.
    const std::string actual = bundle_id_of(sha256(resource.value()));
    if (*bundle_id != actual) {
      return report(console, Failure{shown, "is damaged: its settings record names bundle " + *bundle_id +
                                                ", but its payload's is " + actual});
    }
    // Such a bundle could never be checked, and its first start stops.
    if (verified->cached_name_problem)
      return report(console, Failure{shown, "payload " + *verified->cached_name_problem});
  }
  const VerifyReport& facts = verified.value();
  console.out << shown << ": ok, " << facts.entries << " entries, " << facts.content_bytes << " bytes in "
              << facts.frame_bytes << " compressed; window " << binary_size(facts.window_bytes) << ", decoder about "
              << binary_size(facts.decoder_bytes) << '\n';
  for (const std::string& line : facts_lines.value()) console.out << shown << ": " << line << '\n';
  if (!facts.content_checksum) console.out << shown << ": warning: " << kNoChecksum << '\n';
  if (facts.bytes_after_end_marker != 0) {
    console.out << shown << ": warning: the payload decodes to " << facts.bytes_after_end_marker
                << " bytes after its end marker, which belong to no entry; the launcher ignores them\n";
  }
  if (facts.trailing_bytes != 0) {
    console.out << shown << ": note: " << facts.trailing_bytes
                << " bytes follow the frame in the resource; the launcher ignores them\n";
  }
  return kExitOk;
}

}  // namespace

int run_cli(const std::vector<std::string>& arguments, Console& console) {
  if (arguments.empty()) return usage_error(console, {"no command given"});
  const std::string& command = arguments[0];
  if (command == "--help" || command == "-h" || command == "help") {
    console.out << kUsage << kHelp;
    return kExitOk;
  }
  if (command == "--version") {
    console.out << "vorbel-pack " VORBEL_PACK_VERSION " (libzstd " << ZSTD_versionString() << ")\n"
                << "vorbel is under the zlib licence (share/doc/vorbel/LICENSE): packed programs owe no notice for "
                   "the launcher.\n"
                << "Every packed program carries libzstd's decoder, under libzstd's BSD licence "
                   "(share/doc/vorbel/LICENSE.zstd): ship that notice with it.\n";
    return kExitOk;
  }
  if (command == "build") return build(arguments, console);
  if (command == "embed") return embed(arguments, console);
  if (command == "list" || command == "extract" || command == "verify") return inspect(arguments, console);
  return usage_error(console, {"unknown command '" + printable(command) + "'"});
}

}  // namespace vorbel::pack
