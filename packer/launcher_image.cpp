// Launcher image handling; see launcher_image.h.
// The PE work itself lives in pe_resources; this file only decides what goes
// where and keeps unfinished output out of sight.
#include "packer/launcher_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "packer/launch_settings_record.h"
#include "packer/pe_resources.h"
#include "packer/platform.h"
#include "packer/utf.h"
#include "packer/version_resource.h"
#include "payload/launch_settings_format.h"
#include "payload/payload_format.h"

namespace vorbel::pack {
namespace fs = std::filesystem;
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

constexpr uint32_t kLanguageNeutral = 0;
constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr uint32_t kVersionResourceId = 1;     // VS_VERSION_INFO

// An image and its resources as this tool reads them, for packing and for
// reading a packed one alike.
struct ImageWithResources {
  pe::Image image;
  pe::ResourceTree tree;
};

Result<ImageWithResources> read_image(std::vector<uint8_t> file) {
  auto image = pe::parse_image(std::move(file));
  if (!image.ok()) return Failure{"", "is not a PE image this tool can read: " + image.error()};
  auto tree = pe::read_resources(image.value());
  if (!tree.ok()) return Failure{"", "has a resource section this tool cannot read: " + tree.error()};
  return ImageWithResources{std::move(image.value()), std::move(tree.value())};
}

// A record left from an earlier packing of this image must not outlive it.
void remove_resource(pe::ResourceTree& tree, uint32_t type_id, uint32_t name_id) {
  for (pe::ResourceType& type : tree.types) {
    if (!type.key.is_id(type_id)) continue;
    std::erase_if(type.names, [&](const pe::ResourceName& name) { return name.key.is_id(name_id); });
  }
}

}  // namespace

Result<std::vector<uint8_t>> read_whole_file(const fs::path& path) {
  std::error_code error;
  if (fs::is_directory(path, error)) return Failure{platform::show(path), "is a directory, not a file"};
  int error_number = 0;
  std::unique_ptr<std::FILE, FileCloser> file(platform::open_for_reading(path, &error_number));
  if (!file) return Failure{platform::show(path), "cannot open: " + platform::error_text(error_number)};
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> chunk(size_t{1} << 20);
  for (;;) {
    size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
    bytes.insert(bytes.end(), chunk.data(), chunk.data() + got);
    if (got < chunk.size()) break;
  }
  if (std::ferror(file.get())) return Failure{platform::show(path), "cannot read: " + platform::error_text(errno)};
  return bytes;
}

Status check_launcher(const std::vector<uint8_t>& launcher, const std::string& settings_options,
                      uint8_t settings_version) {
  auto read = read_image(launcher);
  if (!read.ok()) return read.failure();
  if (settings_options.empty()) return done();
  const uint8_t reads = settings_version_read_by(read->tree);
  if (reads == 0) {
    return Failure{"", "was built before pack-time settings and would ignore them, so it cannot take " +
                           settings_options + ": pack with the launcher of this release"};
  }
  // Its reader would refuse the record at every start rather than run without the settings.
  if (reads < settings_version) {
    return Failure{"", "reads settings records up to version " + std::to_string(reads) + ", so it cannot take " +
                           settings_options + ", which need version " + std::to_string(settings_version) +
                           ": pack with the launcher of this release"};
  }
  return done();
}

Result<LauncherFacts> launcher_facts(const std::vector<uint8_t>& launcher) {
  auto read = read_image(launcher);
  if (!read.ok()) return read.failure();
  LauncherFacts facts;
  facts.settings_version = settings_version_read_by(read->tree);
  const pe::ResourceData* version = pe::find_resource(read->tree, kVersionResourceType, kVersionResourceId);
  if (version == nullptr) return facts;
  if (auto parsed = parse_version_resource(version->bytes); parsed.ok()) {
    if (auto text = version_string(parsed.value(), u"ProductVersion")) facts.version = printable(*text);
  }
  return facts;
}

namespace {

// The launcher's tree with `edits` applied, the payload put in by `put` and
// `settings` as its settings record (none: an earlier one is removed).
template <class Put>
Result<PackedImage> embed(std::vector<uint8_t> launcher, const PreparedEdits& edits,
                          std::optional<std::vector<uint8_t>> settings, const std::string& output_shown, Put put) {
  auto read = read_image(std::move(launcher));
  if (!read.ok()) return read.failure();
  pe::ResourceTree& tree = read->tree;
  if (Status edited = apply_resource_edits(tree, edits); !edited.ok()) return edited.failure();
  put(tree);
  if (settings) {
    pe::set_resource(tree, LAUNCH_SETTINGS_RESOURCE_TYPE, LAUNCH_SETTINGS_RESOURCE_ID, kLanguageNeutral,
                     std::move(*settings));
  } else {
    remove_resource(tree, LAUNCH_SETTINGS_RESOURCE_TYPE, LAUNCH_SETTINGS_RESOURCE_ID);
  }
  auto written = pe::write_image(read->image, tree);
  if (!written.ok()) {
    if (written.too_large()) return Failure{output_shown, "cannot be made: " + written.error()};
    return Failure{"", "cannot take the payload: " + written.error()};
  }
  return PackedImage{std::move(written->file), written->signature_removed, written->hole_at, written->hole_size,
                     written->checksum_at};
}

}  // namespace

Result<PackedImage> embed_payload(std::vector<uint8_t> launcher, std::vector<uint8_t> resource,
                                  const PreparedEdits& edits, std::optional<std::vector<uint8_t>> settings,
                                  const std::string& output_shown) {
  return embed(std::move(launcher), edits, std::move(settings), output_shown, [&](pe::ResourceTree& tree) {
    pe::set_resource(tree, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, kLanguageNeutral, std::move(resource));
  });
}

Result<PackedImage> embed_streamed_payload(std::vector<uint8_t> launcher, uint64_t payload_size,
                                           const PreparedEdits& edits, std::optional<std::vector<uint8_t>> settings,
                                           const std::string& output_shown) {
  return embed(std::move(launcher), edits, std::move(settings), output_shown, [&](pe::ResourceTree& tree) {
    pe::set_streamed_resource(tree, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, kLanguageNeutral, payload_size);
  });
}

Result<std::vector<uint8_t>> payload_resource_of(std::vector<uint8_t> packed) {
  auto read = read_image(std::move(packed));
  if (!read.ok()) return read.failure();
  const pe::ResourceData* payload = pe::find_resource(read->tree, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID);
  if (payload == nullptr) return Failure{"", "has no payload (no resource RT_RCDATA 27)"};
  return payload->bytes;
}

Result<std::optional<std::vector<uint8_t>>> settings_resource_of(const std::vector<uint8_t>& packed) {
  auto read = read_image(packed);
  if (!read.ok()) return read.failure();
  const pe::ResourceData* record =
      pe::find_resource(read->tree, LAUNCH_SETTINGS_RESOURCE_TYPE, LAUNCH_SETTINGS_RESOURCE_ID);
  if (record == nullptr) return std::optional<std::vector<uint8_t>>();
  return std::optional<std::vector<uint8_t>>(record->bytes);
}

Result<ScratchFile> ScratchFile::create_beside(const fs::path& path, const std::string& tag) {
  fs::path stem = ".";
  stem += path.filename().native();
  stem += "." + tag + "-" + std::to_string(platform::process_id()) + "-";
  int error_number = 0;
  // Another run may be writing beside us: take the first free name.
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path name = stem;
    name += std::to_string(attempt);
    fs::path candidate = path.parent_path() / name;
    if (std::FILE* file = platform::create_new_file(candidate, true, &error_number))
      return ScratchFile(std::move(candidate), file);
    if (error_number != EEXIST) break;
  }
  return Failure{platform::show(path), "cannot create a file beside it: " + platform::error_text(error_number)};
}

ScratchFile::ScratchFile(ScratchFile&& other) noexcept : path_(std::move(other.path_)), file_(other.file_) {
  other.path_.clear();
  other.file_ = nullptr;
}

ScratchFile::~ScratchFile() {
  if (file_) std::fclose(file_);
  std::error_code ignored;
  if (!path_.empty()) fs::remove(path_, ignored);
}

Status ScratchFile::finish_writing(bool durable, bool reopen) {
  int error_number = 0;
  std::FILE* written = std::exchange(file_, nullptr);
  if (!platform::finish_file(written, durable, &error_number))
    return Failure{platform::show(path_), "cannot write: " + platform::error_text(error_number)};
  if (!reopen) return done();
  file_ = platform::open_for_reading(path_, &error_number);
  if (!file_) return Failure{platform::show(path_), "cannot read back: " + platform::error_text(error_number)};
  return done();
}

namespace {

// Writes the output through `write` (which returns a problem, or "" when all
// went well) into a scratch file, then renames it over `path`.
template <class Write>
Status publish(const fs::path& path, Write write) {
  auto scratch = ScratchFile::create_beside(path, "part");
  if (!scratch.ok()) return scratch.failure();
  std::string problem = write(scratch->file());
  if (!problem.empty()) return Failure{platform::show(path), problem};
  if (Status finished = scratch->finish_writing(true, false); !finished.ok())
    return Failure{platform::show(path), finished.failure().problem};
  if (std::string reason; !platform::replace_file(scratch->path(), path, &reason))
    return Failure{platform::show(path), "cannot replace: " + reason};
  scratch->keep();
  return done();
}

std::string write_bytes(std::FILE* file, std::span<const uint8_t> bytes, pe::PeChecksum* checksum) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    return "cannot write: " + platform::error_text(errno);
  }
  if (checksum) checksum->add(bytes);
  return "";
}

}  // namespace

Status write_file_atomically(const fs::path& path, std::span<const uint8_t> bytes) {
  return publish(path, [&](std::FILE* file) { return write_bytes(file, bytes, nullptr); });
}

Status write_image_atomically(const fs::path& path, const PackedImage& image, std::FILE* payload,
                              const std::optional<Sha256Digest>& payload_digest) {
  if (image.payload_size == 0) return write_file_atomically(path, image.file);
  return publish(path, [&](std::FILE* file) -> std::string {
    std::span<const uint8_t> bytes(image.file);
    pe::PeChecksum checksum(image.checksum_at);
    Sha256 payload_hash;
    if (auto problem = write_bytes(file, bytes.first(image.payload_at), &checksum); !problem.empty()) return problem;
    std::vector<uint8_t> chunk(size_t{1} << 20);
    for (uint64_t left = image.payload_size; left != 0;) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
      if (std::fread(chunk.data(), 1, want, payload) != want)
        return "the payload ended before its " + std::to_string(image.payload_size) +
               " bytes: it changed while being packed";
      if (auto problem = write_bytes(file, std::span(chunk).first(want), &checksum); !problem.empty()) return problem;
      if (payload_digest) payload_hash.update(std::span(chunk).first(want));
      left -= want;
    }
    if (payload_digest && payload_hash.finish() != *payload_digest)
      return "the payload changed while being packed, so the bundle id in the settings record is not its own";
    if (auto problem = write_bytes(file, bytes.subspan(image.payload_at), &checksum); !problem.empty()) return problem;
    uint8_t field[4];
    pe::put_u32(field, 0, checksum.value());
    if (std::fseek(file, static_cast<long>(image.checksum_at), SEEK_SET) != 0)
      return "cannot write: " + platform::error_text(errno);
    return write_bytes(file, field, nullptr);
  });
}

}  // namespace vorbel::pack
