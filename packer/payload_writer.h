// Writes the payload resource: "VUQ", then one Zstandard frame holding the
// entries in the order given. File contents are streamed through the
// compressor and the frame out of it, neither ever held whole: memory stays
// at the compressor's own plus a chunk, whatever the input's size.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "packer/input_tree.h"
#include "packer/result.h"

namespace vorbel::pack {

// Level 19 without long-distance matching. On an 87 MB application-like tree
// (bench/measure_pack.sh) adding --long=27 saves 3 % (22.9 against 23.7 MB)
// but the frame then declares a window as large as the payload: 84 MiB of
// decoder memory at every launcher start instead of 8.5 MiB.
inline constexpr int kDefaultLevel = 19;
inline constexpr int kDefaultLongWindowLog = 27;
inline constexpr int kMinLevel = 1;
inline constexpr int kMaxLevel = 22;
inline constexpr int kMinWindowLog = 10;
inline constexpr int kMaxThreads = 200;
// What the whole build tool may use at the levels up to the default one
// without long-distance matching (compressor_memory.h).
inline constexpr uint64_t kPackMemoryBudget = uint64_t{256} << 20;

struct CompressionSettings {
  int level = kDefaultLevel;
  int long_window_log = 0;  // 0: no long-distance matching
  // Always at least 1: the multithreaded code path is taken even for one
  // thread, because its output can differ from the single-threaded one and
  // must not depend on how many threads a machine has. An upper bound: at
  // levels up to the default, memory can allow fewer (compressor_memory.h).
  int threads = 1;
  uint64_t memory_budget = kPackMemoryBudget;
};

// What the bytes of one entry before its contents are: name units, a zero unit, size.
std::vector<uint8_t> entry_header(std::u16string_view name, uint64_t size);

// Bytes of the decompressed payload, end marker included.
uint64_t payload_content_size(const std::vector<InputFile>& files);

// Called on the calling thread whenever the compressor has moved on, with the
// content bytes it has compressed so far (not merely read: with worker threads
// the reading runs up to a whole job ahead of the compression).
using Progress = std::function<void(uint64_t bytes_compressed)>;

// Takes the resource's bytes in order, as the compressor gives them out.
using ResourceSink = std::function<Status(std::span<const uint8_t> bytes)>;

// Streams the resource into `sink` and returns its size. Stops as soon as it
// passes `max_bytes`, saying how far it got. Failures name the input file
// concerned, or no file for compressor failures and the size limit.
Result<uint64_t> stream_payload_resource(const std::vector<InputFile>& files, const CompressionSettings& settings,
                                         const ResourceSink& sink, const Progress& progress = {},
                                         uint64_t max_bytes = std::numeric_limits<uint64_t>::max());

// The whole resource in memory, for small payloads and tests.
Result<std::vector<uint8_t>> make_payload_resource(const std::vector<InputFile>& files,
                                                   const CompressionSettings& settings, const Progress& progress = {});

}  // namespace vorbel::pack
