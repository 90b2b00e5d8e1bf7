// The compressor's memory estimate and the workers it allows; see
// compressor_memory.h. The sizes follow libzstd's multithreaded compressor:
// a job is 4 windows (at least 1 MiB), or 8 search cycles with long-distance
// matching, whatever the number of workers, which is why fewer workers give
// the same frame.
#include "packer/compressor_memory.h"

#include <zstd.h>

#include <algorithm>

namespace vorbel::pack {
namespace {

// libzstd leaves inputs this small to a single thread.
constexpr uint64_t kSmallestThreadedInput = uint64_t{512} << 10;
constexpr int kLargestJobLog = 30;

ZSTD_compressionParameters parameters_of(const CompressionSettings& settings, uint64_t content_size) {
  ZSTD_compressionParameters parameters = ZSTD_getCParams(settings.level, content_size, 0);
  if (settings.long_window_log != 0) {
    parameters.windowLog = static_cast<unsigned>(settings.long_window_log);
    parameters = ZSTD_adjustCParams(parameters, content_size, 0);
  }
  return parameters;
}

int job_log_of(const ZSTD_compressionParameters& parameters, bool long_matching) {
  int log;
  if (long_matching) {
    const int cycle_log = static_cast<int>(parameters.chainLog) - (parameters.strategy >= ZSTD_btlazy2 ? 1 : 0);
    log = std::max(21, cycle_log + 3);
  } else {
    log = std::max(20, static_cast<int>(parameters.windowLog) + 2);
  }
  return std::min(log, kLargestJobLog);
}

}  // namespace

uint64_t estimated_compressor_bytes(const CompressionSettings& settings, uint64_t content_size, int workers) {
  const ZSTD_compressionParameters parameters = parameters_of(settings, content_size);
  if (content_size <= kSmallestThreadedInput || workers == 0) return ZSTD_estimateCStreamSize_usingCParams(parameters);

  const bool long_matching = settings.long_window_log != 0;
  const uint64_t job = uint64_t{1} << job_log_of(parameters, long_matching);
  const uint64_t jobs = (content_size + job - 1) / job;
  const uint64_t count = static_cast<uint64_t>(workers);
  // The input ring: a job per worker (at least the window with long-distance
  // matching), and slack of two jobs plus one for the overlap with the job
  // before, which every level has.
  const uint64_t window = long_matching ? uint64_t{1} << parameters.windowLog : 0;
  const uint64_t ring = std::max(window, count * job) + 3 * job;
  // A job's context has no buffers of its own: it reads the ring and writes
  // an output buffer, one per running job and one for the finished job that
  // is still being written out.
  const uint64_t context = ZSTD_estimateCCtxSize_usingCParams(parameters);
  const uint64_t output = ZSTD_compressBound(static_cast<size_t>(std::min(job, content_size)));
  return std::min(count, jobs) * context + std::min(ring, content_size) + std::min(count + 1, jobs) * output;
}

CompressionPlan plan_compression(const CompressionSettings& settings, uint64_t content_size) {
  CompressionPlan plan;
  const ZSTD_compressionParameters parameters = parameters_of(settings, content_size);
  plan.window_log = static_cast<int>(parameters.windowLog);
  plan.job_bytes = uint64_t{1} << job_log_of(parameters, settings.long_window_log != 0);
  plan.bounded = settings.level <= kDefaultLevel && settings.long_window_log == 0;
  plan.workers = std::max(settings.threads, 1);
  const auto fits = [&](int workers) {
    return estimated_compressor_bytes(settings, content_size, workers) + kProcessAllowance <= settings.memory_budget;
  };
  if (plan.bounded) {
    while (plan.workers > 1 && !fits(plan.workers)) --plan.workers;
    // One worker still holds a job ring of four jobs and two output buffers
    // beside its context; a single-threaded stream holds a window and a block.
    // Whether one worker fits depends on the level and the input alone, never
    // on the threads, so the bytes stay the same for any --threads.
    if (plan.workers == 1 && !fits(1)) plan.workers = 0;
  }
  plan.estimated_bytes = estimated_compressor_bytes(settings, content_size, plan.workers);
  return plan;
}

}  // namespace vorbel::pack
