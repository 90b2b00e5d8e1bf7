// build and embed: from the options to a packed program. Every input is
// checked before the long compression starts, and nothing reaches the
// output path before the image is complete (launcher_image.cpp publishes it).
#include <cstdio>
#include <memory>
#include <optional>

#include "packer/app_checks.h"
#include "packer/compressor_memory.h"
#include "packer/console_subsystem.h"
#include "packer/entry_names.h"
#include "packer/launcher_image.h"
#include "packer/pack_options.h"
#include "packer/payload_inspect.h"
#include "packer/pe_image.h"
#include "packer/platform.h"
#include "packer/progress.h"
#include "packer/sha256.h"
#include "packer/utf.h"
#include "payload/launch_settings_format.h"
#include "payload/payload_format.h"
#include "payload/payload_stream.h"

namespace vorbel::pack::cli {
namespace {

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
  add(settings.progress_window, "--progress-window");
  add(settings.progress_line, "--progress");
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
  // The progress line needs a console to rewrite; the window is for programs that have none.
  const auto launcher_subsystem = subsystem_of(launcher.value());
  const bool console_program =
      console_subsystem || (launcher_subsystem.ok() && launcher_subsystem.value() == kSubsystemConsole);
  if (settings.progress_line && !console_program) {
    return Failure{platform::show(path),
                   "is a GUI program, and so would the packed one be: --progress is for console programs: add "
                   "--console, or give --progress-window instead"};
  }
  if (settings.progress_window && console_program) {
    return Failure{platform::show(path),
                   "is a console program, and so would the packed one be: --progress-window is for GUI programs: "
                   "give --progress instead"};
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
  const uint64_t content_size = payload_content_size(files);
  const CompressionPlan plan = plan_compression(options.compression, content_size);
  ProgressReporter progress(
      console.err, console.show_progress, content_size, files.size(),
      compression_text(options.compression.level, plan.window_log, plan.workers, options.compression.threads));
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

}  // namespace

int build_command(const std::vector<std::string>& arguments, Console& console) {
  BuildOptions options;
  if (auto error = parse_pack_options(arguments, false, console.tool_directory, &options))
    return usage_error(console, *error);
  if (options.help) return show_help(console, "build");
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
  std::vector<std::u16string> names;
  if (!options.exclude.unmatched().empty()) {
    for (const InputFile& file : files.value()) names.push_back(file.name);
  }
  for (const std::string& pattern : options.exclude.unmatched()) {
    console.err << "vorbel-pack: warning: --exclude '" << printable(pattern)
                << "' left out nothing: no added file or folder matches it";
    if (auto form = pattern_with_folder_in_front(pattern, names))
      console.err << " (entry names start with the added folder's name: '" << *form << "' would match)";
    console.err << "\n";
  }
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

int embed_command(const std::vector<std::string>& arguments, Console& console) {
  BuildOptions options;
  if (auto error = parse_pack_options(arguments, true, console.tool_directory, &options))
    return usage_error(console, *error);
  if (options.help) return show_help(console, "embed");
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

}  // namespace vorbel::pack::cli
