// Launcher image handling; see launcher_image.h.
// The PE work itself lives in pe_resources; this file only decides what goes
// where and keeps unfinished output out of sight.
#include "packer/launcher_image.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

#include "packer/launch_settings_record.h"
#include "packer/pe_resources.h"
#include "packer/platform.h"
#include "payload/launch_settings_format.h"
#include "payload/payload_format.h"

namespace vorbel::pack {
namespace fs = std::filesystem;
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

constexpr uint32_t kLanguageNeutral = 0;

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

Status check_launcher(const std::vector<uint8_t>& launcher, const std::string& settings_options) {
  auto image = pe::parse_image(launcher);
  if (!image.ok()) return Failure{"", "is not a launcher image this tool can pack: " + image.error()};
  auto tree = pe::read_resources(image.value());
  if (!tree.ok()) return Failure{"", "has a resource section this tool cannot read: " + tree.error()};
  if (!settings_options.empty() && settings_version_read_by(tree.value()) < LAUNCH_SETTINGS_VERSION) {
    return Failure{"", "was built before pack-time settings and would ignore them, so it cannot take " +
                           settings_options + ": pack with the launcher of this release"};
  }
  return done();
}

Result<PackedImage> embed_payload(std::vector<uint8_t> launcher, std::vector<uint8_t> resource,
                                  const PreparedEdits& edits, std::optional<std::vector<uint8_t>> settings) {
  auto image = pe::parse_image(std::move(launcher));
  if (!image.ok()) return Failure{"", "is not a launcher image this tool can pack: " + image.error()};
  auto tree = pe::read_resources(image.value());
  if (!tree.ok()) return Failure{"", "has a resource section this tool cannot read: " + tree.error()};
  if (Status edited = apply_resource_edits(tree.value(), edits); !edited.ok()) return edited.failure();
  pe::set_resource(tree.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID, kLanguageNeutral, std::move(resource));
  if (settings) {
    pe::set_resource(tree.value(), LAUNCH_SETTINGS_RESOURCE_TYPE, LAUNCH_SETTINGS_RESOURCE_ID, kLanguageNeutral,
                     std::move(*settings));
  } else {
    remove_resource(tree.value(), LAUNCH_SETTINGS_RESOURCE_TYPE, LAUNCH_SETTINGS_RESOURCE_ID);
  }
  auto written = pe::write_image(image.value(), tree.value());
  if (!written.ok()) return Failure{"", "cannot take the payload: " + written.error()};
  return PackedImage{std::move(written->file), written->signature_removed};
}

Result<std::vector<uint8_t>> payload_resource_of(std::vector<uint8_t> packed) {
  auto image = pe::parse_image(std::move(packed));
  if (!image.ok()) return Failure{"", "is not a PE image this tool can read: " + image.error()};
  auto tree = pe::read_resources(image.value());
  if (!tree.ok()) return Failure{"", "has a resource section this tool cannot read: " + tree.error()};
  const pe::ResourceData* payload = pe::find_resource(tree.value(), PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID);
  if (payload == nullptr) return Failure{"", "has no payload (no resource RT_RCDATA 27)"};
  return payload->bytes;
}

Result<std::optional<std::vector<uint8_t>>> settings_resource_of(const std::vector<uint8_t>& packed) {
  auto image = pe::parse_image(packed);
  if (!image.ok()) return Failure{"", "is not a PE image this tool can read: " + image.error()};
  auto tree = pe::read_resources(image.value());
  if (!tree.ok()) return Failure{"", "has a resource section this tool cannot read: " + tree.error()};
  const pe::ResourceData* record =
      pe::find_resource(tree.value(), LAUNCH_SETTINGS_RESOURCE_TYPE, LAUNCH_SETTINGS_RESOURCE_ID);
  if (record == nullptr) return std::optional<std::vector<uint8_t>>();
  return std::optional<std::vector<uint8_t>>(record->bytes);
}

Status write_file_atomically(const fs::path& path, std::span<const uint8_t> bytes) {
  // Hidden and named after the output, so a leftover from a killed run is recognisable.
  fs::path stem = ".";
  stem += path.filename().native();
  stem += ".part-" + std::to_string(platform::process_id()) + "-";
  fs::path temporary;
  std::unique_ptr<std::FILE, FileCloser> file;
  int error_number = 0;
  // Another run may be writing beside us: take the first free name.
  for (int attempt = 0; !file && attempt < 100; ++attempt) {
    fs::path name = stem;
    name += std::to_string(attempt);
    temporary = path.parent_path() / name;
    file.reset(platform::create_new_file(temporary, true, &error_number));
    if (!file && error_number != EEXIST) break;
  }
  if (!file)
    return Failure{platform::show(path), "cannot create a file beside it: " + platform::error_text(error_number)};

  std::string problem;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    problem = "cannot write: " + platform::error_text(errno);
  } else if (!platform::finish_file(file.release(), true, &error_number)) {
    problem = "cannot write: " + platform::error_text(error_number);
  } else if (std::string reason; !platform::replace_file(temporary, path, &reason)) {
    problem = "cannot replace: " + reason;
  }
  if (problem.empty()) return done();
  file.reset();
  std::error_code ignored;
  fs::remove(temporary, ignored);
  return Failure{platform::show(path), problem};
}

}  // namespace vorbel::pack
