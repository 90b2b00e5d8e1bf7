// The launcher side of packing: reading whole files, putting a payload
// resource into a copy of the launcher image and getting it out of a packed
// one (through pe_resources), and publishing an output file only when complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "packer/resource_edits.h"
#include "packer/result.h"

namespace vorbel::pack {

Result<std::vector<uint8_t>> read_whole_file(const std::filesystem::path& path);

struct PackedImage {
  std::vector<uint8_t> file;
  bool signature_removed = false;  // the launcher was signed; packing broke the signature
};

// Whether `launcher` is an image embed_payload can work on; tested before a
// long compression rather than after it. `settings_options` names the
// options given that need a settings record (empty: none); a launcher built
// before the record is refused for them. Failures name no file.
Status check_launcher(const std::vector<uint8_t>& launcher, const std::string& settings_options = {});

// The launcher with `resource` as its payload (RT_RCDATA 27, language
// neutral), `settings` as its settings record (RT_RCDATA 28; none: an
// earlier one is removed) and `edits` applied; every other resource is kept,
// an earlier payload replaced. Failures name no file: the caller adds the launcher's.
Result<PackedImage> embed_payload(std::vector<uint8_t> launcher, std::vector<uint8_t> resource,
                                  const PreparedEdits& edits = {},
                                  std::optional<std::vector<uint8_t>> settings = std::nullopt);

// The settings record of a packed image, or nothing when it has none.
Result<std::optional<std::vector<uint8_t>>> settings_resource_of(const std::vector<uint8_t>& packed);

// The payload resource of a packed launcher, as the launcher would find it.
Result<std::vector<uint8_t>> payload_resource_of(std::vector<uint8_t> packed);

// Writes to a new temporary file beside `path`, then renames it over `path`:
// a failure leaves no partial file and an earlier `path` untouched.
Status write_file_atomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace vorbel::pack
