// Reading a payload resource back, for list, extract and verify: always
// through the launcher's own stream reader (payload/payload_stream.h), so the
// tool sees exactly what the launcher would. Output goes to the given streams.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "packer/result.h"

namespace vorbel::pack {

// "   12345  name" per entry. Failures name no file: the caller knows which.
Status list_payload(std::span<const uint8_t> resource, std::ostream& out);

// Unpacks every entry below `directory`, which must be empty or missing.
// Names are checked as strictly as when building; a file whose contents
// cannot be read completely is removed again.
Status extract_payload(std::span<const uint8_t> resource, const std::filesystem::path& directory);

struct VerifyReport {
  uint64_t entries = 0;
  uint64_t content_bytes = 0;   // sum of entry sizes
  uint64_t frame_bytes = 0;     // the compressed frame
  uint64_t window_bytes = 0;    // what the frame header declares
  uint64_t decoder_bytes = 0;   // the decoder's estimated memory for this frame
  uint64_t trailing_bytes = 0;  // after the frame; the launcher ignores them
  // Decoded after the end marker: no entry's, and the launcher drops them.
  uint64_t bytes_after_end_marker = 0;
  // Without one the launcher still runs the frame, but a damaged payload
  // decodes to damaged files that neither it nor verify can tell apart.
  bool content_checksum = true;
  // An entry that the cached mode cannot hold (cached_entry_name_problem).
  std::optional<std::string> cached_name_problem;
};

// Whether the frame after "VUQ" declares no content checksum; false too when
// there is no frame header to read, which verify reports as a failure.
bool lacks_content_checksum(std::span<const uint8_t> resource);

// Reads every entry, checks every name, then decodes to the frame's end so
// that its checksum, if it has one, is tested too; what the frame decodes to
// after the end marker is counted, as the launcher runs such a payload.
Result<VerifyReport> verify_payload(std::span<const uint8_t> resource);

}  // namespace vorbel::pack
