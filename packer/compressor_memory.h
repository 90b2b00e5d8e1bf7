// How many compression workers the payload writer runs, from an estimate of
// the compressor's peak memory at a level; never more than the threads asked
// for, and the bytes written never depend on the threads asked for.
// Tested by compressor_memory_test.cpp against libzstd's own estimates.
#pragma once

#include <cstdint>

#include "packer/payload_writer.h"

namespace vorbel::pack {

// The part of the memory budget that is the rest of the program (code, the
// input chunk, the launcher image): 7 MiB measured when packing at level 1.
inline constexpr uint64_t kProcessAllowance = uint64_t{16} << 20;

struct CompressionPlan {
  int window_log = 0;  // as the frame declares it, after fitting it to the content size
  int workers = 1;     // 0: a single-threaded stream, only where one worker would not fit the budget
  uint64_t job_bytes = 0;
  uint64_t estimated_bytes = 0;  // the compressor's estimated peak with `workers`
  bool bounded = false;          // the budget applies (levels up to the default, no --long)
};

// The compressor's peak memory with `workers`: each running job's context,
// the input ring that holds the jobs and the overlap, and the output buffers
// of the running and the last finished job; each part no larger than the
// content can fill.
uint64_t estimated_compressor_bytes(const CompressionSettings& settings, uint64_t content_size, int workers);

// The most workers, up to settings.threads, that keep the estimate plus
// kProcessAllowance within settings.memory_budget when the budget applies,
// and none (a single-threaded stream, whose frame differs) when not even one
// does; settings.threads otherwise. With workers, the frame does not depend on
// how many; whether there are any depends on the level and the size alone.
CompressionPlan plan_compression(const CompressionSettings& settings, uint64_t content_size);

}  // namespace vorbel::pack
