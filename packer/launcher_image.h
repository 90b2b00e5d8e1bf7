// The launcher side of packing: reading whole files, putting a payload
// resource into a copy of the launcher image and getting it out of a packed
// one (through pe_resources), and publishing an output file only when complete.
// A payload may stay in a temporary file until it is copied into the output:
// nothing here holds more than the launcher and one chunk in memory for it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "packer/resource_edits.h"
#include "packer/result.h"
#include "packer/sha256.h"

namespace vorbel::pack {

Result<std::vector<uint8_t>> read_whole_file(const std::filesystem::path& path);

struct PackedImage {
  // The whole image, or, for a streamed payload, the image without the
  // payload's payload_size bytes, which belong at payload_at; the CheckSum
  // (at checksum_at) is then computed as the file is written.
  std::vector<uint8_t> file;
  bool signature_removed = false;  // the launcher was signed; packing broke the signature
  uint64_t payload_at = 0;
  uint64_t payload_size = 0;
  size_t checksum_at = 0;
};

// Whether `launcher` is an image embed_payload can work on; tested before a
// long compression rather than after it. `settings_options` names the
// options given that need a settings record (empty: none) of
// `settings_version`; a launcher that reads no such record, or only older
// versions, is refused for them. Failures name no file.
Status check_launcher(const std::vector<uint8_t>& launcher, const std::string& settings_options = {},
                      uint8_t settings_version = 1);

// The launcher with `resource` as its payload (RT_RCDATA 27, language
// neutral), `settings` as its settings record (RT_RCDATA 28; none: an
// earlier one is removed) and `edits` applied; every other resource is kept,
// an earlier payload replaced. Failures name no file: the caller adds the launcher's.
Result<PackedImage> embed_payload(std::vector<uint8_t> launcher, std::vector<uint8_t> resource,
                                  const PreparedEdits& edits = {},
                                  std::optional<std::vector<uint8_t>> settings = std::nullopt,
                                  const std::string& output_shown = "");

// The same with a payload resource of `payload_size` bytes that is not in
// memory. A packed program that Windows could not load (kMaxImageBytes) is
// refused naming `output_shown`, not the launcher.
Result<PackedImage> embed_streamed_payload(std::vector<uint8_t> launcher, uint64_t payload_size,
                                           const PreparedEdits& edits, std::optional<std::vector<uint8_t>> settings,
                                           const std::string& output_shown);

// What a launcher image says of itself, for --version.
struct LauncherFacts {
  std::string version;           // its version resource's ProductVersion; empty when it has none
  uint8_t settings_version = 0;  // the settings record version it reads; 0: none
};
Result<LauncherFacts> launcher_facts(const std::vector<uint8_t>& launcher);

// The settings record of a packed image, or nothing when it has none.
Result<std::optional<std::vector<uint8_t>>> settings_resource_of(const std::vector<uint8_t>& packed);

// The payload resource of a packed launcher, as the launcher would find it.
Result<std::vector<uint8_t>> payload_resource_of(std::vector<uint8_t> packed);

// Writes to a new temporary file beside `path`, then renames it over `path`:
// a failure leaves no partial file and an earlier `path` untouched.
Status write_file_atomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// The same for a packed image whose payload is read, in chunks, from
// `payload` (at its start); fails if it holds fewer than payload_size bytes,
// or if those bytes do not hash to `payload_digest` when one is given.
Status write_image_atomically(const std::filesystem::path& path, const PackedImage& image, std::FILE* payload,
                              const std::optional<Sha256Digest>& payload_digest = std::nullopt);

// A new hidden file beside another, named after it ("." NAME "." TAG "-" PID
// "-" N) so that a leftover of a killed run is recognisable; closed and
// removed when destroyed, unless kept.
class ScratchFile {
 public:
  static Result<ScratchFile> create_beside(const std::filesystem::path& path, const std::string& tag);
  ScratchFile(ScratchFile&& other) noexcept;
  ScratchFile& operator=(ScratchFile&&) = delete;
  ~ScratchFile();

  std::FILE* file() const { return file_; }
  const std::filesystem::path& path() const { return path_; }
  // Closes the file for writing (without waiting for the disk unless `durable`)
  // and, unless `reopen` is false, opens it again for reading from its start.
  Status finish_writing(bool durable, bool reopen);
  void keep() { path_.clear(); }  // once renamed away

 private:
  ScratchFile(std::filesystem::path path, std::FILE* file) : path_(std::move(path)), file_(file) {}
  std::filesystem::path path_;
  std::FILE* file_;
};

}  // namespace vorbel::pack
